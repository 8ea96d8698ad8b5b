// The panel host's requests: lines become the panel's register records and
// buffers exactly, malformed lines are refused with their place and reason,
// buffers print decoded, and the local registers stay within their bounds.
#include <gtest/gtest.h>

#include "PanelScript.h"

using namespace klpanel;

namespace {
PanelRequest Line(const std::string& text) {
    PanelRequest r;
    bool bEmpty = false;
    std::string error;
    EXPECT_TRUE(ParseRequestLine(text, &r, &bEmpty, &error)) << text << ": " << error;
    EXPECT_FALSE(bEmpty);
    return r;
}

std::string Refusal(const std::string& text) {
    PanelRequest r;
    bool bEmpty = false;
    std::string error;
    EXPECT_FALSE(ParseRequestLine(text, &r, &bEmpty, &error)) << text;
    EXPECT_FALSE(error.empty());
    return error;
}

bool Args(std::vector<const char*> args, PanelOptions* pOptions, std::string* pError) {
    args.insert(args.begin(), "panel-host");
    return ParsePanelArgs(static_cast<int>(args.size()), args.data(), pOptions, pError);
}
}  // namespace

TEST(PanelScript, RequestLinesBecomeThePanelsRecords) {
    PanelRequest r = Line("rd 70000 5 32 3");
    ASSERT_EQ(r.command, PanelCommand::Read);
    RegAttr reg = MakeRegAttr(r.items[0]);
    EXPECT_EQ(reg._regId, 70000 & 0xFFFF);  // tag position split over _regId and _subRegId
    EXPECT_EQ(reg._subRegId, 1);
    EXPECT_EQ(reg._regType, 4);
    EXPECT_EQ(reg._width, 3);
    EXPECT_EQ(reg._addr, 5u);
    EXPECT_EQ(reg._flag, 0u);
    EXPECT_EQ(ItemBufferSize(r.items[0]), 12u);

    // Index mode: position in _flag bits 11-14, index value in _addr, the
    // element address in the high bytes of _subRegId and _subAddr.
    reg = MakeRegAttr(Line("rd 3 0x0A0B 16 1 @3=7").items[0]);
    EXPECT_EQ(reg._flag, 3u << 11);
    EXPECT_EQ(reg._addr, 7u);
    EXPECT_EQ(reg._subRegId, 0x0A00);
    EXPECT_EQ(reg._subAddr, 0x0B00);
    EXPECT_EQ(reg._regId, 3);

    EXPECT_EQ(Line("wr 1 0 16 2 -1 0x1234").values, (std::vector<uint8_t>{0xFF, 0xFF, 0x34, 0x12}));
    EXPECT_EQ(Line("wr 1 0 32 1 1.5").values, (std::vector<uint8_t>{0, 0, 0xC0, 0x3F}));
    EXPECT_EQ(Line("wr 1 0 32 1 -1").values, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Line("wr 1 0 64 1 18446744073709551615").values, std::vector<uint8_t>(8, 0xFF));
    EXPECT_EQ(Line("wr 1 0 bit 3 1 0 1").values, (std::vector<uint8_t>{1, 0, 1}));
    EXPECT_EQ(Line("wr 1 0 16 3 'abc d'").values, (std::vector<uint8_t>{'a', 'b', 'c', ' ', 'd', 0}));
    EXPECT_EQ(Line("wr 1 010 16 1 010").values, (std::vector<uint8_t>{10, 0}));  // no octal
    PanelRequest check = Line("rd 4 0 16 1 == 42  # a comment");
    EXPECT_TRUE(check.bExpect);
    EXPECT_EQ(check.values, (std::vector<uint8_t>{42, 0}));

    PanelRequest group = Line("grp 1 0 16 1 ; 2 3 bit 8 @1=2 ; 9 0 64 1");
    ASSERT_EQ(group.command, PanelCommand::ReadGroup);
    ASSERT_EQ(group.items.size(), 3u);
    EXPECT_EQ(group.items[1].width, RegWidth::Bit);
    EXPECT_EQ(group.items[1].byIndexPos, 1);

    PanelRequest local = Line("local LW 1 -1");
    EXPECT_EQ(local.localValues, (std::vector<uint16_t>{1, 0xFFFF}));

    std::vector<PanelRequest> requests;
    std::string error;
    ASSERT_TRUE(ParseScript("# demo\n\nrd 1 0 16 1\r\n  \nwr 1 0 16 1 5", "s.txt", &requests, &error))
        << error;
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].where, "s.txt:3");
    EXPECT_EQ(requests[1].where, "s.txt:5");
}

TEST(PanelScript, MalformedLinesAreRefusedWithTheirReason) {
    EXPECT_NE(Refusal("frob 1 0 16 1").find("unknown request \"frob\""), std::string::npos);
    EXPECT_NE(Refusal("rd 1 0 16").find("TAG ADDR TYPE WIDTH"), std::string::npos);
    EXPECT_NE(Refusal("rd 0 0 16 1").find("tag \"0\""), std::string::npos);
    EXPECT_NE(Refusal("rd 16777216 0 16 1").find("tag"), std::string::npos);
    EXPECT_NE(Refusal("rd 1 -1 16 1").find("element address"), std::string::npos);
    EXPECT_NE(Refusal("rd 1 0 12 1").find("register type \"12\""), std::string::npos);
    EXPECT_NE(Refusal("rd 1 0 16 0").find("width"), std::string::npos);
    EXPECT_NE(Refusal("rd 1 0 16 8193").find("width"), std::string::npos);
    EXPECT_NE(Refusal("rd 1 0 16 1 @16=1").find("index mode"), std::string::npos);
    EXPECT_NE(Refusal("rd 1 0 16 1 @1=65536").find("index mode"), std::string::npos);
    EXPECT_NE(Refusal("rd 1 70000 16 1 @1=2").find("0 to 65535"), std::string::npos);
    EXPECT_NE(Refusal("rd 1 0 16 1 42").find("expected =="), std::string::npos);
    EXPECT_NE(Refusal("wr 1 0 16 1 65536").find("16-bit register"), std::string::npos);
    EXPECT_NE(Refusal("wr 1 0 16 1 -32769").find("16-bit register"), std::string::npos);
    EXPECT_NE(Refusal("wr 1 0 32 1 4294967296").find("32-bit register"), std::string::npos);
    EXPECT_NE(Refusal("wr 1 0 32 1 1e39").find("real"), std::string::npos);
    EXPECT_NE(Refusal("wr 1 0 16 2 1").find("1 values given for a width of 2"), std::string::npos);
    EXPECT_NE(Refusal("wr 1 0 16 1 1 2").find("2 elements given for a width of 1"), std::string::npos);
    EXPECT_NE(Refusal("wr 1 0 16 1 'abc'").find("elements given"), std::string::npos);
    EXPECT_NE(Refusal("wr 1 0 16 1").find("no values"), std::string::npos);
    EXPECT_NE(Refusal("wr 1 0 bit 1 2").find("not 0 or 1"), std::string::npos);
    EXPECT_NE(Refusal("wr 1 0 32 1 'ab'").find("16-bit registers only"), std::string::npos);
    EXPECT_NE(Refusal("wr 1 0 16 2 'abc").find("unterminated"), std::string::npos);
    EXPECT_NE(Refusal("grp 1 0 16 1 2 0 16 1").find("' ; '"), std::string::npos);
    EXPECT_NE(Refusal("grp").find("at least one item"), std::string::npos);
    EXPECT_NE(Refusal("local LW x").find("16-bit register value"), std::string::npos);

    std::vector<PanelRequest> requests;
    std::string error;
    EXPECT_FALSE(ParseScript("rd 1 0 16 1\nrd 1 0 99 1\n", "demo.txt", &requests, &error));
    EXPECT_EQ(error.rfind("demo.txt:2: register type \"99\"", 0), 0u) << error;

    PanelOptions o;
    ASSERT_TRUE(Args({"--plc", "127.0.0.1:11740", "--project", "/p", "--port-no", "4097", "rd 1 0 16 1"}, &o,
                     &error));
    EXPECT_EQ(o.usPort, 11740);
    EXPECT_EQ(o.usPortNo, 4097);
    EXPECT_EQ(o.requestLines.size(), 1u);
    EXPECT_FALSE(Args({"--project", "/p"}, &o, &error));
    EXPECT_FALSE(Args({"--plc", "127.0.0.1", "--project", "/p"}, &o, &error));
    EXPECT_FALSE(Args({"--plc", "localhost:1", "--project", "/p"}, &o, &error));
    EXPECT_FALSE(Args({"--plc", "127.0.0.1:70000", "--project", "/p"}, &o, &error));
    EXPECT_FALSE(Args({"--plc", "127.0.0.1:1"}, &o, &error));
    EXPECT_FALSE(Args({"--plc", "127.0.0.1:1", "--project", "/p", "--port-no", "65536"}, &o, &error));
    EXPECT_FALSE(Args({"--plc", "127.0.0.1:1", "--project", "/p", "--frob"}, &o, &error));
    EXPECT_FALSE(Args({"--plc", "127.0.0.1:1", "--project", std::string(256, 'x').c_str()}, &o, &error));
}

TEST(PanelScript, BuffersPrintDecodedAndLocalRegistersStayInBounds) {
    const uint8_t words[] = {0xFF, 0xFF, 'A', 'B'};
    PanelItem item;
    item.width = RegWidth::W16;
    item.usCount = 2;
    EXPECT_EQ(FormatBuffer(item, words), "[FF FF 41 42] = 65535(-1) 16961");
    const uint8_t text[] = {'H', 'i', 0, 0};
    EXPECT_EQ(FormatBuffer(item, text), "[48 69 00 00] = 26952 0  text 'Hi'");
    const uint8_t real[] = {0, 0, 0xC0, 0x3F};
    item.width = RegWidth::W32;
    item.usCount = 1;
    EXPECT_EQ(FormatBuffer(item, real), "[00 00 C0 3F] = 1069547520|1.5  (int|real)");
    const uint8_t bits[] = {1, 0, 1};
    item.width = RegWidth::Bit;
    item.usCount = 3;
    EXPECT_EQ(FormatBuffer(item, bits), "[01 00 01] = 1 0 1");
    EXPECT_EQ(ResultName(PLC_OK), "PLC_OK");
    EXPECT_NE(ResultName(3).find("request failed"), std::string::npos);

    LocalRegisters regs;
    regs.Set("LW", {1, 2, 3});
    uint8_t buf[8] = {};
    EXPECT_EQ(regs.Read("LW", 1, 2, buf, 2), 0);
    EXPECT_EQ(buf[0], 2);
    EXPECT_EQ(buf[2], 3);
    EXPECT_EQ(regs.Read("LW", 2, 2, buf, 2), -1);  // past the end
    EXPECT_EQ(regs.Read("LW", -1, 1, buf, 2), -1);
    EXPECT_EQ(regs.Read("LX", 0, 1, buf, 2), -1);
    EXPECT_EQ(regs.Read("LW", 0, 1, buf, 4), -1);
    const uint8_t in[] = {0x34, 0x12};
    EXPECT_EQ(regs.Write("LW", 2, 1, in, 2), 0);
    EXPECT_EQ((*regs.Find("LW"))[2], 0x1234);
    EXPECT_EQ(regs.Write("LW", 3, 1, in, 2), -1);
    EXPECT_EQ(regs.Write("LW", 0, 1, nullptr, 2), -1);
}
