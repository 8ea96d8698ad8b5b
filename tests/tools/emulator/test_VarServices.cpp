// The emulator's variable services in-process: request PDUs of group 9 built
// with the tag writer, handed to VarServices, and the reply's tags checked:
// name resolution, continuation and pieces through small channel buffers,
// writes read back, change tracking, removal, and malformed requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BinTagService.h"
#include "CmpBinTagUtilItf.h"
#include "DeviceServices.h"
#include "TestSupport.h"
#include "VarServices.h"

using klemu::ServiceRequest;
using klemu::VarServices;

namespace {

const char kSymbols[] = R"xml(<?xml version="1.0" encoding="utf-8"?>
<Symbolconfiguration>
  <Header><ProjectInfo appname="App" dataguid="{00000000-0000-0000-0000-000000000001}" /></Header>
  <TypeList>
    <TypeSimple name="T_BYTE" size="1" swapsize="1" typeclass="Byte" iecname="BYTE" />
    <TypeSimple name="T_INT" size="2" swapsize="2" typeclass="Int" iecname="INT" />
    <TypeSimple name="T_DINT" size="4" swapsize="4" typeclass="DInt" iecname="DINT" />
    <TypeSimple name="T_REAL" size="4" swapsize="4" typeclass="Real" iecname="REAL" />
    <TypeSimple name="T_STRING_10" size="11" swapsize="1" typeclass="String" iecname="STRING(10)" />
    <TypeArray name="T_A" size="20" nativesize="20" typeclass="Array" iecname="ARRAY [0..9] OF INT"
               basetype="T_INT"><ArrayDim minrange="0" maxrange="9" /></TypeArray>
    <TypeArray name="T_M" size="96" nativesize="96" typeclass="Array" iecname="ARRAY [1..3, 1..8] OF DINT"
               basetype="T_DINT"><ArrayDim minrange="1" maxrange="3" /><ArrayDim minrange="1" maxrange="8" />
    </TypeArray>
    <TypeArray name="T_BIG" size="10000" nativesize="10000" typeclass="Array" iecname="ARRAY [0..2499] OF DINT"
               basetype="T_DINT"><ArrayDim minrange="0" maxrange="2499" /></TypeArray>
    <TypeUserDef name="T_POS" size="4" nativesize="4" typeclass="Userdef" iecname="POS">
      <UserDefElement iecname="x" type="T_INT" compileroffset="0" />
      <UserDefElement iecname="y" type="T_INT" compileroffset="2" />
    </TypeUserDef>
    <TypeUserDef name="T_ST" size="8" nativesize="8" typeclass="Userdef" iecname="ST">
      <UserDefElement iecname="p" type="T_POS" compileroffset="0" />
      <UserDefElement iecname="n" type="T_DINT" compileroffset="4" />
    </TypeUserDef>
  </TypeList>
  <NodeList><Node name="App"><Node name="GVL">
    <Node name="i" type="T_INT" access="ReadWrite" directaddress="%MW4" />
    <Node name="b" type="T_BYTE" access="ReadWrite" />
    <Node name="r" type="T_REAL" access="ReadWrite" />
    <Node name="txt" type="T_STRING_10" access="ReadWrite" />
    <Node name="a" type="T_A" access="ReadWrite" />
    <Node name="m" type="T_M" access="ReadWrite" />
    <Node name="s" type="T_ST" access="ReadWrite" />
    <Node name="big" type="T_BIG" access="ReadWrite" />
  </Node></Node></NodeList>
</Symbolconfiguration>
)xml";

uint32_t Swap32(uint32_t v, bool bSwap) {
    return bSwap ? __builtin_bswap32(v) : v;
}

// A request body built with the tag writer.
class Req {
public:
    explicit Req(bool bSwap = false) : m_buf(1 << 16), m_bSwap(bSwap) {
        BTagWriterInit2(&m_w, reinterpret_cast<RTS_UI8*>(m_buf.data()), 4 * 1 << 16, 0);
        BTagWriterStartService(&m_w, 0, 0xCD55, 9, 0);
    }
    Req& U32(uint32_t id, uint32_t v) {
        v = Swap32(v, m_bSwap);
        return Raw(id, &v, 4);
    }
    Req& Raw(uint32_t id, const void* p, uint32_t n) {
        EXPECT_EQ(BTagWriteSingleTag(&m_w, id, {4, 0}, 1, p, n), ERR_OK);
        return *this;
    }
    // A tag whose content ends on a boundary without fill ({4, 2}: 2 or 6 bytes).
    Req& Tight(uint32_t id, const void* p, uint32_t n) {
        EXPECT_EQ(BTagWriteSingleTag(&m_w, id, {4, 2}, 0, p, n), ERR_OK);
        return *this;
    }
    Req& DefName(const std::string& name) {
        std::vector<uint8_t> c(2 + name.size() + 1, 0);
        uint16_t n = static_cast<uint16_t>(name.size() + 1);
        n = m_bSwap ? static_cast<uint16_t>((n << 8) | (n >> 8)) : n;
        memcpy(c.data(), &n, 2);
        memcpy(c.data() + 2, name.data(), name.size());
        EXPECT_EQ(BTagWriteSingleTag(&m_w, 0x19, {4, 2}, 1, c.data(), static_cast<RTS_UI32>(c.size())),
                  ERR_OK);
        return *this;
    }
    Req& Name(const std::string& name) {
        return Raw(0x21, name.c_str(), static_cast<uint32_t>(name.size() + 1));
    }
    Req& Value(const void* p, uint32_t n) {
        std::vector<uint8_t> c(4 + n);
        uint32_t len = Swap32(n, m_bSwap);
        memcpy(c.data(), &len, 4);
        if (n != 0) {
            memcpy(c.data() + 4, p, n);
        }
        return Raw(0x1E, c.data(), static_cast<uint32_t>(c.size()));
    }
    ServiceRequest Get(uint16_t service) const {
        ServiceRequest r;
        r.usGroup = 9;
        r.usService = service;
        r.bSwap = m_bSwap;
        r.pBody = m_w.pBuffer;
        r.ulBodySize = m_w.ulPos;
        return r;
    }

private:
    std::vector<uint32_t> m_buf;
    BINTAGWRITER m_w;
    bool m_bSwap;
};

struct Reply {
    bool bHandled = false;
    uint32_t ulPduSize = 0;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> tags;
    bool bSwap = false;

    uint32_t U32(size_t i, size_t at = 0) const {
        uint32_t v = 0;
        memcpy(&v, tags.at(i).second.data() + at, 4);
        return Swap32(v, bSwap);
    }
    uint16_t U16(size_t i) const {
        uint16_t v = 0;
        memcpy(&v, tags.at(i).second.data(), 2);
        return bSwap ? static_cast<uint16_t>((v << 8) | (v >> 8)) : v;
    }
    size_t Count(uint32_t id) const {
        size_t n = 0;
        for (const auto& t : tags) {
            n += t.first == id ? 1 : 0;
        }
        return n;
    }
    // The service result: the last tag must be 0x14.
    int Result() const { return !tags.empty() && tags.back().first == 0x14 ? U16(tags.size() - 1) : -1; }
};

Reply Call(VarServices& vs, uint16_t service, const Req& req, bool bSwap = false) {
    std::vector<uint32_t> buf(1 << 18);
    BINTAGWRITER w;
    BTagWriterInit2(&w, reinterpret_cast<RTS_UI8*>(buf.data()), 4 * (1 << 18), 0);
    BTagWriterStartService(&w, 7, 0xCD55, 0x89, service);
    Reply reply;
    reply.bSwap = bSwap;
    reply.bHandled = vs.Handle(req.Get(service), &w);
    EXPECT_EQ(w.bBufferOverflow, 0);
    reply.ulPduSize = 20 + w.ulPos;
    EXPECT_LE(reply.ulPduSize, vs.ChannelBufferSize());
    BINTAGREADER rd;
    BTagReaderInit(&rd, w.pBuffer, w.ulPos);
    BTAG_ELEMENT_TYPE et = BTAG_ET_INVALID;
    for (int guard = 0; guard < 100000 && BTagReaderMoveNext(&rd, &et) == ERR_OK && et == BTAG_ET_STARTTAG;
         ++guard) {
        RTS_UI32 id = 0, n = 0;
        RTS_UI8* p = nullptr;
        BTagReaderGetTagId(&rd, &id);
        BTagReaderGetContent(&rd, &p, &n);
        reply.tags.push_back({id, std::vector<uint8_t>(p, p + n)});
        BTagReaderMoveNext(&rd, &et);  // its end
    }
    EXPECT_EQ(et, BTAG_ET_EOF);
    return reply;
}

class VarServicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(vs.LoadSymbols(WriteSymbols(), &error)) << error;
    }
    std::string WriteSymbols() {
        std::string file = dir.File("Symbols.xml");
        kltest::WriteFile(file, kSymbols);
        return file;
    }
    // Defines a list of these names; the handles and sizes of the accepted variables.
    uint32_t Define(const std::vector<std::string>& names, std::vector<uint32_t>* pHandles,
                    uint32_t ulFlags = 0x10048) {
        Req req;
        req.U32(0x13, ulFlags).U32(0x3A, 0).U32(0x18, static_cast<uint32_t>(names.size()));
        for (const auto& n : names) {
            req.DefName(n);
        }
        Reply r = Call(vs, 1, req);
        EXPECT_EQ(r.Result(), 0);
        for (size_t i = 0; i < r.tags.size(); ++i) {
            if (r.tags[i].first == 0x1B) {
                pHandles->push_back(r.U32(i, 8));
                m_sizes[r.U32(i, 8)] = r.U32(i, 4);
            }
        }
        return r.U32(0);
    }
    // Reads a whole list as a client does, following continuations (0x25
    // with the next variable, 0x45 with the offset reached inside it).
    std::vector<std::vector<uint8_t>> ReadAll(uint32_t hList, const std::vector<uint32_t>& handles,
                                              std::vector<uint32_t>* pPieces = nullptr) {
        std::vector<std::vector<uint8_t>> values(handles.size());
        size_t cur = 0;
        for (int round = 0; round < 200 && cur < handles.size(); ++round) {
            Req req;
            if (cur > 0 || !values[cur].empty()) {
                req.U32(0x25, handles[cur]);
                if (!values[cur].empty()) {
                    req.U32(0x45, static_cast<uint32_t>(values[cur].size()));
                }
            }
            req.U32(0x10, hList);
            Reply r = Call(vs, 3, req);
            EXPECT_EQ(r.tags.at(0).first, 0x22u);
            uint32_t ulPiece = 0;
            for (size_t i = 0; i < r.tags.size() && cur < handles.size(); ++i) {
                if (r.tags[i].first == 0x46) {
                    ulPiece = r.U32(i);
                    if (pPieces != nullptr) {
                        pPieces->push_back(ulPiece);
                    }
                } else if (r.tags[i].first == 0x1D) {
                    EXPECT_EQ(r.U32(i), 0u);  // quality good
                    uint32_t ulSize = m_sizes[handles[cur]];
                    uint32_t n = ulPiece != 0 ? ulPiece : ulSize;
                    const auto& c = r.tags[i].second;
                    EXPECT_LE(values[cur].size() + n, ulSize);
                    EXPECT_GE(c.size(), 4u + n);
                    values[cur].insert(values[cur].end(), c.begin() + 4,
                                       c.begin() + 4 + std::min<size_t>(n, c.size() - 4));
                    ulPiece = 0;
                    if (values[cur].size() >= ulSize) {
                        ++cur;
                    }
                }
            }
            if (r.Result() == 0) {
                break;
            }
            EXPECT_EQ(r.Result(), 0x1B);
        }
        EXPECT_EQ(cur, handles.size());
        return values;
    }

    std::map<uint32_t, uint32_t> m_sizes;
    kltest::TempDir dir;
    VarServices vs;
};

TEST_F(VarServicesTest, ResolvesElementsMembersAndCaseAndListsTheRoots) {
    std::vector<std::string> names = {"app.gvl.I",       "App.GVL.a[3]",  "App.GVL.m[2,7]",
                                      "App.GVL.m[3, 8]", "APP.GVL.S.P.Y", "App.GVL.nope",
                                      "App.GVL.a[10]",   "App.GVL.s",     "App.GVL.txt"};
    Req req;
    req.U32(0x13, 0x10048).U32(0x3A, 0).U32(0x18, static_cast<uint32_t>(names.size()));
    for (const auto& n : names) {
        req.DefName(n);
    }
    Reply r = Call(vs, 1, req);
    ASSERT_TRUE(r.bHandled);
    ASSERT_EQ(r.tags.at(0).first, 0x10u);
    ASSERT_EQ(r.tags.at(1).first, 0x13u);
    EXPECT_EQ(r.U32(1) & 0x10u, 0u);  // not extendable by default
    // Per name in order: type class and size, or the rejection code.
    std::vector<std::pair<uint32_t, uint32_t>> expected = {{7, 2},    {7, 2},    {8, 4},  {8, 4},  {7, 2},
                                                           {0, 0x1C}, {0, 0x1C}, {28, 8}, {16, 11}};
    ASSERT_EQ(r.tags.size(), 2 + names.size() + 1);
    std::vector<uint32_t> handles;
    for (size_t k = 0; k < names.size(); ++k) {
        size_t i = 2 + k;
        if (expected[k].first == 0 && expected[k].second == 0x1C) {
            EXPECT_EQ(r.tags[i].first, 0x1Cu) << names[k];
            EXPECT_EQ(r.U16(i), 0x1Cu);
            continue;
        }
        ASSERT_EQ(r.tags[i].first, 0x1Bu) << names[k];
        EXPECT_EQ(r.U32(i, 0), expected[k].first) << names[k];
        EXPECT_EQ(r.U32(i, 4), expected[k].second) << names[k];
        handles.push_back(r.U32(i, 8));
    }
    EXPECT_EQ(r.Result(), 0);
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end());

    // Members share their structure's bytes.
    const uint8_t y[2] = {0x34, 0x12};
    ASSERT_TRUE(vs.SetValue("App.GVL.s.p.y", y, 2));
    std::vector<uint8_t> s;
    ASSERT_TRUE(vs.GetValue("app.gvl.s", &s));
    EXPECT_EQ(s, (std::vector<uint8_t>{0, 0, 0x34, 0x12, 0, 0, 0, 0}));
    EXPECT_FALSE(vs.SetValue("App.GVL.s.p.y", y, 3));

    Reply roots = Call(vs, 7, Req());
    ASSERT_EQ(roots.tags.size(), 4u);
    EXPECT_EQ(roots.tags[0].first, 0x30u);
    EXPECT_EQ(roots.tags[0].second.size() >= 5
                  ? std::string(roots.tags[0].second.begin() + 2, roots.tags[0].second.begin() + 5)
                  : "",
              "App");
    EXPECT_EQ(roots.U16(0), 3u);
    EXPECT_EQ(roots.tags[1].first, 0x38u);
    EXPECT_EQ(roots.tags[1].second.size(), 20u);
    EXPECT_EQ(roots.tags[2].first, 0x3Au);
    EXPECT_EQ(roots.Result(), 0);

    Req addr;
    addr.Name("App.GVL.I");
    Reply ra = Call(vs, 10, addr);
    ASSERT_EQ(ra.tags.at(0).first, 0x3Bu);
    EXPECT_EQ(ra.U16(0), 4u);
    EXPECT_EQ(std::string(ra.tags[0].second.begin() + 2, ra.tags[0].second.begin() + 6), "%MW4");
}

TEST_F(VarServicesTest, WritesByNameAndByListAndReadsThemBack) {
    std::vector<uint32_t> h;
    uint32_t hList = Define({"App.GVL.i", "App.GVL.txt", "App.GVL.a[1]"}, &h);
    ASSERT_EQ(h.size(), 3u);

    const uint8_t i[2] = {0x11, 0x22};
    Req byName;
    byName.U32(0x13, 0).Name("app.gvl.i").Value(i, 2).Name("App.GVL.txt").Value("abc", 4);
    const uint8_t tooLong[3] = {0x11, 0x22, 0x33};
    byName.Name("App.GVL.a[1]").Value(tooLong, 3).Name("App.GVL.none").Value(i, 2);
    Reply w = Call(vs, 4, byName);
    ASSERT_EQ(w.Count(0x20), 4u);
    EXPECT_EQ(w.U16(0), 0u);
    EXPECT_EQ(w.U16(1), 0u);     // a shorter text is taken
    EXPECT_EQ(w.U16(2), 0xFu);   // size mismatch: not written
    EXPECT_EQ(w.U16(3), 0x1Cu);  // unknown name
    EXPECT_EQ(w.Result(), 0);

    auto values = ReadAll(hList, h);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0], (std::vector<uint8_t>{0x11, 0x22}));
    EXPECT_EQ(std::string(values[1].begin(), values[1].begin() + 11), std::string("abc\0\0\0\0\0\0\0\0", 11));
    EXPECT_EQ(values[2], (std::vector<uint8_t>{0, 0}));

    // By list, from the second variable on.
    const uint8_t a1[2] = {0x0A, 0x0B};
    Req byList;
    byList.U32(0x13, 0x10048).U32(0x10, hList).U32(0x1F, h[1]).Value("0123456789", 11).Value(a1, 2);
    Reply wl = Call(vs, 4, byList);
    ASSERT_EQ(wl.Count(0x20), 2u);
    EXPECT_EQ(wl.U16(0), 0u);
    EXPECT_EQ(wl.U16(1), 0u);
    std::vector<uint8_t> v;
    ASSERT_TRUE(vs.GetValue("App.GVL.a[1]", &v));
    EXPECT_EQ(v, (std::vector<uint8_t>{0x0A, 0x0B}));
    ASSERT_TRUE(vs.GetValue("App.GVL.a", &v));
    EXPECT_EQ(v[2], 0x0A);  // the element inside its array
    ASSERT_TRUE(vs.GetValue("App.GVL.txt", &v));
    EXPECT_EQ(std::string(v.begin(), v.end() - 1), "0123456789");

    // A value beyond the list's end, a wrong size by list, and a request
    // whose values arrive in the other byte order.
    Req tooMany;
    tooMany.U32(0x10, hList).U32(0x1F, h[2]).Value(a1, 2).Value(a1, 2).Value(a1, 1);
    Reply wt = Call(vs, 4, tooMany);
    ASSERT_EQ(wt.Count(0x20), 3u);
    EXPECT_EQ(wt.U16(0), 0u);
    EXPECT_EQ(wt.U16(1), 0x10u);
    EXPECT_EQ(wt.U16(2), 0x10u);
    Req swapped(true);
    swapped.U32(0x10, hList).U32(0x1F, h[0]).Value(a1, 2);
    Reply ws = Call(vs, 4, swapped, true);
    EXPECT_EQ(ws.U16(0), 0u);
    ASSERT_TRUE(vs.GetValue("App.GVL.i", &v));
    EXPECT_EQ(v, (std::vector<uint8_t>{0x0A, 0x0B}));  // values are never swapped
}

TEST_F(VarServicesTest, ContinuesDefinitionsAndReadsThroughASmallBuffer) {
    vs.SetChannelBufferSize(256);
    vs.SetExtendableLists(true);
    std::vector<std::string> names;
    for (int r = 1; r <= 3; ++r) {
        for (int c = 1; c <= 8; ++c) {
            names.push_back("App.GVL.m[" + std::to_string(r) + "," + std::to_string(c) + "]");
            uint32_t v = static_cast<uint32_t>(r * 100 + c);
            ASSERT_TRUE(vs.SetValue(names.back(), &v, 4));
        }
    }
    // The client sends what is left after each cut, into the same list.
    std::vector<uint32_t> handles;
    uint32_t hList = 0;
    size_t next = 0;
    int rounds = 0;
    for (; next < names.size() && rounds < 10; ++rounds) {
        Req req;
        if (rounds == 0) {
            req.U32(0x13, 0x10048);
        } else {
            req.U32(0x10, hList);
        }
        req.U32(0x18, static_cast<uint32_t>(names.size()));
        for (size_t k = next; k < names.size(); ++k) {
            req.DefName(names[k]);
        }
        Reply r = Call(vs, 1, req);
        hList = r.U32(0);
        EXPECT_NE(r.U32(1) & 0x10u, 0u);
        size_t accepted = r.Count(0x1B);
        ASSERT_GT(accepted, 0u);
        for (size_t i = 0; i < r.tags.size(); ++i) {
            if (r.tags[i].first == 0x1B) {
                handles.push_back(r.U32(i, 8));
                m_sizes[handles.back()] = r.U32(i, 4);
            }
        }
        next += accepted;
        EXPECT_EQ(r.Result(), next < names.size() ? 0x1B : 0);
    }
    EXPECT_GT(rounds, 1);
    ASSERT_EQ(handles.size(), names.size());

    auto values = ReadAll(hList, handles);
    ASSERT_EQ(values.size(), names.size());
    for (size_t k = 0; k < names.size(); ++k) {
        uint32_t v = 0;
        ASSERT_EQ(values[k].size(), 4u);
        memcpy(&v, values[k].data(), 4);
        EXPECT_EQ(v, static_cast<uint32_t>((k / 8 + 1) * 100 + k % 8 + 1)) << names[k];
    }

    // Removal: only from an extendable list, and all or nothing.
    Req rm;
    rm.U32(0x10, hList).U32(0x18, 2).U32(0x1F, handles[0]).U32(0x1F, 0xDEAD);
    EXPECT_EQ(Call(vs, 11, rm).Result(), 0x10);
    Req rm2;
    rm2.U32(0x10, hList).U32(0x18, 2).U32(0x1F, handles[0]).U32(0x1F, handles[5]);
    EXPECT_EQ(Call(vs, 11, rm2).Result(), 0);
    handles.erase(handles.begin() + 5);
    handles.erase(handles.begin());
    EXPECT_EQ(ReadAll(hList, handles).size(), names.size() - 2);
    vs.SetExtendableLists(false);
    std::vector<uint32_t> h2;
    uint32_t hFixed = Define({"App.GVL.i"}, &h2);
    Req rm3;
    rm3.U32(0x10, hFixed).U32(0x18, 1).U32(0x1F, h2.at(0));
    EXPECT_EQ(Call(vs, 11, rm3).Result(), 0x302);
    Req add;
    add.U32(0x10, hFixed).DefName("App.GVL.b");
    EXPECT_EQ(Call(vs, 1, add).Result(), 0x18);
}

TEST_F(VarServicesTest, LargeValuesTravelInPiecesOrAreRefused) {
    std::vector<uint8_t> pattern(10000);
    for (size_t k = 0; k < pattern.size(); ++k) {
        pattern[k] = static_cast<uint8_t>(k * 7 + k / 256);
    }
    ASSERT_TRUE(vs.SetValue("App.GVL.big", pattern.data(), pattern.size()));

    // Larger than the channel buffer: refused, the rest of the list stays usable.
    vs.SetChannelBufferSize(4096);
    Req req;
    req.U32(0x13, 0x10048).DefName("App.GVL.big").DefName("App.GVL.i");
    Reply r = Call(vs, 1, req);
    ASSERT_EQ(r.tags.at(2).first, 0x1Cu);
    EXPECT_EQ(r.U16(2), 0xFu);
    EXPECT_EQ(r.tags.at(3).first, 0x1Bu);

    // Allowed beyond the buffer: read in pieces of a multiple of 8.
    vs.SetMaxVariableSize(1u << 20);
    std::vector<uint32_t> h;
    uint32_t hList = Define({"App.GVL.big", "App.GVL.i"}, &h);
    ASSERT_EQ(h.size(), 2u);
    std::vector<uint32_t> pieces;
    auto values = ReadAll(hList, h, &pieces);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0], pattern);
    ASSERT_GE(pieces.size(), 3u);
    uint32_t ulSum = 0;
    for (size_t k = 0; k < pieces.size(); ++k) {
        ulSum += pieces[k];
        if (k + 1 < pieces.size()) {
            EXPECT_EQ(pieces[k] % 8, 0u);
        }
    }
    EXPECT_EQ(ulSum, 10000u);

    // Written in pieces, each answered with its accepted size.
    std::vector<uint8_t> inverse(pattern.size());
    for (size_t k = 0; k < pattern.size(); ++k) {
        inverse[k] = static_cast<uint8_t>(~pattern[k]);
    }
    for (uint32_t off = 0; off < 10000; off += 3000) {
        uint32_t n = std::min<uint32_t>(3000, 10000 - off);
        Req w;
        w.U32(0x10, hList).U32(0x1F, h[0]).U32(0x45, off).Value(inverse.data() + off, n);
        Reply wr = Call(vs, 4, w);
        ASSERT_EQ(wr.tags.at(0).first, 0x46u);
        EXPECT_EQ(wr.U32(0), n);
        EXPECT_EQ(wr.U16(1), 0u);
    }
    std::vector<uint8_t> v;
    ASSERT_TRUE(vs.GetValue("App.GVL.big", &v));
    EXPECT_EQ(v, inverse);
    Req past;
    past.U32(0x10, hList).U32(0x1F, h[0]).U32(0x45, 9996).Value(inverse.data(), 8);
    EXPECT_EQ(Call(vs, 4, past).U16(0), 0xFu);

    // A buffer just larger than the value: it waits for a reply of its own
    // instead of being split behind another value.
    vs.SetMaxVariableSize(0);
    vs.SetChannelBufferSize(10100);
    std::vector<uint32_t> h2;
    uint32_t hList2 = Define({"App.GVL.i", "App.GVL.big"}, &h2);
    pieces.clear();
    values = ReadAll(hList2, h2, &pieces);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[1], inverse);
    EXPECT_TRUE(pieces.empty());
}

TEST_F(VarServicesTest, TracksChangesAndForgetsDeletedLists) {
    std::vector<uint32_t> h;
    uint32_t hList = Define({"App.GVL.i", "App.GVL.b", "App.GVL.r"}, &h, 0x1004C);
    auto changed = [&](uint32_t ulFlags, const std::vector<uint32_t>& marked) {
        Req req;
        req.U32(0x13, ulFlags);
        req.U32(0x10, hList);
        for (uint32_t m : marked) {
            req.U32(0x1F, m);
        }
        Reply r = Call(vs, 3, req);
        EXPECT_EQ(r.Result(), 0);
        std::vector<uint32_t> out;
        for (size_t i = 0; i < r.tags.size(); ++i) {
            if (r.tags[i].first == 0x1F) {
                out.push_back(r.U32(i));
            }
        }
        return std::make_pair(out, r.Count(0x1D));
    };
    EXPECT_EQ(changed(0x1004C, {}).first, h);  // everything is new
    EXPECT_TRUE(changed(0x1004C, {}).first.empty());
    std::string error;
    ASSERT_TRUE(vs.SetValueText("App.GVL.r", "1.5", &error)) << error;
    auto c = changed(0x1004C, {});
    EXPECT_EQ(c.first, std::vector<uint32_t>{h[2]});
    EXPECT_EQ(c.second, 3u);
    // The marked pass: only the marked values, changes reported.
    ASSERT_TRUE(vs.SetValueText("App.GVL.b", "200", &error)) << error;
    c = changed(0x10068, {h[1], h[2]});
    EXPECT_EQ(c.first, std::vector<uint32_t>{h[1]});
    EXPECT_EQ(c.second, 2u);

    Req del;
    del.U32(0x10, hList);
    EXPECT_EQ(Call(vs, 2, del).Result(), 0);
    EXPECT_EQ(Call(vs, 2, del).Result(), 0x10);
    Req read;
    read.U32(0x10, hList);
    Reply r = Call(vs, 3, read);
    EXPECT_EQ(r.tags.size(), 1u);
    EXPECT_EQ(r.Result(), 0x10);
    EXPECT_EQ(vs.NumLists(), 0u);
}

TEST_F(VarServicesTest, AnswersMalformedRequestsWithAnErrorResult) {
    std::vector<uint32_t> h;
    uint32_t hList = Define({"App.GVL.i"}, &h);
    // A name length beyond its tag, a value length beyond its tag, numbers
    // shorter than 4 bytes, a read without list, a value without a name.
    std::vector<Req> bad(6);
    const uint8_t longName[4] = {0xFF, 0x00, 'x', 0};
    bad[0].U32(0x13, 0x10048).Raw(0x19, longName, 4);
    const uint8_t longValue[8] = {0xFF, 0xFF, 0, 0, 1, 2, 3, 4};
    bad[1].U32(0x10, hList).U32(0x1F, h[0]).Raw(0x1E, longValue, 8);
    bad[2].Tight(0x10, "ab", 2);
    bad[3].U32(0x13, 0x10048);
    bad[4].Name("App.GVL.i").Name("App.GVL.i").Value("ab", 2);
    bad[5].U32(0x10, hList).U32(0x25, h[0]).U32(0x45, 2);
    const uint16_t services[6] = {1, 4, 2, 3, 4, 3};
    for (size_t k = 0; k < bad.size(); ++k) {
        Reply r = Call(vs, services[k], bad[k]);
        EXPECT_TRUE(r.bHandled);
        EXPECT_EQ(r.tags.size(), 1u) << k;
        EXPECT_EQ(r.Result(), 2) << k;
    }
    std::vector<uint8_t> v;
    ASSERT_TRUE(vs.GetValue("App.GVL.i", &v));
    EXPECT_EQ(v, (std::vector<uint8_t>{0, 0}));

    // Bytes that are no tags at all.
    const uint8_t junk[7] = {0x19, 0x85, 0x80, 0x80, 0x80, 0x80, 0x01};
    ServiceRequest raw;
    raw.usGroup = 9;
    raw.usService = 1;
    raw.pBody = junk;
    raw.ulBodySize = sizeof(junk);
    std::vector<uint32_t> buf(64);
    BINTAGWRITER w;
    BTagWriterInit2(&w, reinterpret_cast<RTS_UI8*>(buf.data()), 256, 0);
    BTagWriterStartService(&w, 0, 0xCD55, 0x89, 1);
    EXPECT_TRUE(vs.Handle(raw, &w));
    EXPECT_EQ(w.ulPos, 8u);
    raw.usService = 99;
    EXPECT_FALSE(vs.Handle(raw, &w));
}

TEST(VarServicesThroughDeviceServices, AnswersAsGroup0x89InTheClientsByteOrder) {
    kltest::TempDir dir;
    kltest::WriteFile(dir.File("s.xml"), kSymbols);
    auto pVars = std::make_unique<VarServices>();
    std::string error;
    ASSERT_TRUE(pVars->LoadSymbols(dir.File("s.xml"), &error)) << error;
    VarServices* pVs = pVars.get();
    klemu::DeviceServices device{klemu::DeviceServicesOptions()};
    device.AddGroup(std::move(pVars));
    // A client of the other byte order: header and numbers swapped.
    for (bool bSwap : {false, true}) {
        std::vector<uint32_t> buf(256);
        BINTAGWRITER w;
        ASSERT_EQ(BTagServiceStart(&w, reinterpret_cast<RTS_UI8*>(buf.data()), 1024, bSwap, 0, 9, 1), ERR_OK);
        uint32_t ulFlags = Swap32(0x10048, bSwap);
        BTagWriteSingleTag(&w, 0x13, {4, 0}, 1, &ulFlags, 4);
        const char name[] =
            "\x0A\x00"
            "App.GVL.i";  // length 10 with terminator
        uint8_t c[12] = {};
        memcpy(c, name, sizeof(name) - 1);
        if (bSwap) {
            std::swap(c[0], c[1]);
        }
        BTagWriteSingleTag(&w, 0x19, {4, 2}, 1, c, sizeof(c));
        RTS_UI8* pPdu = nullptr;
        RTS_UI32 ulSize = 0;
        ASSERT_EQ(BTagServiceFinish(&w, &pPdu, &ulSize), ERR_OK);
        std::vector<uint8_t> reply = device.Handle(std::vector<uint8_t>(pPdu, pPdu + ulSize));
        BINTAGREADER rd;
        ASSERT_EQ(BTagServiceCheckReply(reply.data(), static_cast<RTS_UI32>(reply.size()), bSwap, 9, 1,
                                        nullptr, &rd),
                  ERR_OK);
        RTS_UI32 ulTop = 0, ulTag = 0, n = 0;
        RTS_RESULT r = ERR_OK;
        std::map<RTS_UI32, std::vector<uint8_t>> tags;
        for (RTS_UI8* p = BTagReaderGetFirstTag(&rd, &ulTop, &ulTag, &n, &r); r == ERR_OK;
             p = BTagReaderGetNextTag(&rd, &ulTop, &ulTag, &n, &r)) {
            tags[ulTag].assign(p, p + n);
        }
        ASSERT_EQ(tags.count(0x1B), 1u);
        uint32_t ulType = 0, ulVarSize = 0;
        memcpy(&ulType, tags[0x1B].data(), 4);
        memcpy(&ulVarSize, tags[0x1B].data() + 4, 4);
        EXPECT_EQ(Swap32(ulType, bSwap), 7u);
        EXPECT_EQ(Swap32(ulVarSize, bSwap), 2u);
    }
    EXPECT_EQ(pVs->NumLists(), 2u);
}

TEST(VarServicesControl, OptionsValuesAsTextAndScripts) {
    klemu::VarServicesOptions o;
    bool bKnown = false;
    std::string error;
    EXPECT_TRUE(klemu::ParseVarServicesOption("--extendable-lists", "", &o, &bKnown, &error) && bKnown);
    EXPECT_TRUE(o.bExtendableLists);
    EXPECT_TRUE(klemu::ParseVarServicesOption("--var-buffer-size", "1400", &o, &bKnown, &error));
    EXPECT_EQ(o.ulChannelBufferSize, 1400u);
    EXPECT_FALSE(klemu::ParseVarServicesOption("--var-buffer-size", "100", &o, &bKnown, &error));
    EXPECT_FALSE(klemu::ParseVarServicesOption("--max-var-size", "-1", &o, &bKnown, &error));
    EXPECT_TRUE(klemu::ParseVarServicesOption("--listen", "x", &o, &bKnown, &error));
    EXPECT_FALSE(bKnown);
    EXPECT_TRUE(klemu::VarServicesOptionTakesValue("--script"));
    EXPECT_FALSE(klemu::VarServicesOptionTakesValue("--extendable-lists"));

    kltest::TempDir dir;
    kltest::WriteFile(dir.File("s.xml"), kSymbols);
    o.bBigEndian = true;
    VarServices vs(o);
    ASSERT_TRUE(vs.LoadSymbols(dir.File("s.xml"), &error)) << error;
    struct Case {
        const char* name;
        const char* text;
        std::vector<uint8_t> bytes;
    };
    for (const Case& c :
         std::vector<Case>{{"App.GVL.i", "-2", {0xFF, 0xFE}},
                           {"App.GVL.i", "0x1234", {0x12, 0x34}},
                           {"App.GVL.b", "255", {0xFF}},
                           {"App.GVL.r", "1.5", {0x3F, 0xC0, 0, 0}},
                           {"App.GVL.s", "hex:0102", {1, 2, 0, 0, 0, 0, 0, 0}},
                           {"App.GVL.txt", "\"a b\"", {'a', ' ', 'b', 0, 0, 0, 0, 0, 0, 0, 0}}}) {
        ASSERT_TRUE(vs.SetValueText(c.name, c.text, &error)) << c.text << ": " << error;
        std::vector<uint8_t> v;
        ASSERT_TRUE(vs.GetValue(c.name, &v));
        EXPECT_EQ(v, c.bytes) << c.text;
    }
    for (auto bad : std::vector<std::pair<const char*, const char*>>{{"App.GVL.i", "40000"},
                                                                     {"App.GVL.b", "-1"},
                                                                     {"App.GVL.i", "x"},
                                                                     {"App.GVL.s", "1"},
                                                                     {"App.GVL.i", "hex:010203"},
                                                                     {"App.GVL.none", "1"}}) {
        EXPECT_FALSE(vs.SetValueText(bad.first, bad.second, &error)) << bad.second;
    }

    std::string script = dir.File("run.txt");
    kltest::WriteFile(script, "# counts\nset App.GVL.i 7\nwait 20\nset App.GVL.b 9\nloop\n");
    ASSERT_TRUE(vs.StartScript(script, &error)) << error;
    EXPECT_TRUE(kltest::WaitFor(
        [&] {
            std::vector<uint8_t> b;
            return vs.GetValue("App.GVL.b", &b) && b[0] == 9;
        },
        5000));
    vs.StopScript();
    std::vector<uint8_t> v;
    ASSERT_TRUE(vs.GetValue("App.GVL.i", &v));
    EXPECT_EQ(v, (std::vector<uint8_t>{0, 7}));
    for (const char* text :
         {"set App.GVL.nope 1\n", "wait x\n", "jump\n", "set App.GVL.i 1\nloop\n", "loop\nwait 10\n"}) {
        kltest::WriteFile(script, text);
        EXPECT_FALSE(vs.StartScript(script, &error)) << text;
    }
}

}  // namespace
