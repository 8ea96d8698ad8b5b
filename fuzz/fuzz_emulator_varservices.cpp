// Requests of service group 9 come from any client that reaches the
// emulator: feed a sequence of them to VarServices (reset for each input) and check that
// every reply is well-formed tags within the channel buffer, ending with the
// result tag, and that nothing reads or writes outside its bounds.
//
// Input: records of [service u8][mode u8][body length u16 LE][body]; mode bit
// 0 swaps the integers, bit 1 shrinks the channel buffer to 300 bytes, bit 2
// makes lists extendable. Handles start at 1 in every run, so the seeds'
// later requests find the lists their first ones defined.
#include <cstdint>
#include <cstdlib>
#include <vector>

// The emulator library is not part of fuzz builds; its sources for group 9 are.
#include "../tools/emulator/VarServices.cpp"
#include "../tools/emulator/VarServicesText.cpp"

namespace {

const char kSymbols[] = R"xml(<Symbolconfiguration>
  <TypeList>
    <TypeSimple name="T_BYTE" size="1" swapsize="1" typeclass="Byte" iecname="BYTE" />
    <TypeSimple name="T_INT" size="2" swapsize="2" typeclass="Int" iecname="INT" />
    <TypeSimple name="T_DINT" size="4" swapsize="4" typeclass="DInt" iecname="DINT" />
    <TypeSimple name="T_STRING_10" size="11" swapsize="1" typeclass="String" iecname="STRING(10)" />
    <TypeArray name="T_A" size="600" nativesize="600" typeclass="Array" iecname="ARRAY [0..149] OF DINT"
               basetype="T_DINT"><ArrayDim minrange="0" maxrange="149" /></TypeArray>
    <TypeUserDef name="T_ST" size="8" nativesize="8" typeclass="Userdef" iecname="ST">
      <UserDefElement iecname="x" type="T_INT" compileroffset="0" />
      <UserDefElement iecname="n" type="T_DINT" compileroffset="4" />
    </TypeUserDef>
  </TypeList>
  <NodeList><Node name="App">
    <Node name="i" type="T_INT" access="ReadWrite" directaddress="%MW0" />
    <Node name="b" type="T_BYTE" access="ReadWrite" />
    <Node name="t" type="T_STRING_10" access="ReadWrite" />
    <Node name="a" type="T_A" access="ReadWrite" />
    <Node name="s" type="T_ST" access="ReadWrite" />
  </Node></NodeList>
</Symbolconfiguration>
)xml";

void Check(bool bCondition) {
    if (!bCondition) {
        abort();
    }
}

// The reply's top level: data tags only, the last one the result.
void CheckReply(BINTAGWRITER* pWriter) {
    BINTAGREADER reader;
    Check(BTagReaderInit(&reader, pWriter->pBuffer, pWriter->ulPos) == ERR_OK || pWriter->ulPos == 0);
    BTAG_ELEMENT_TYPE et = BTAG_ET_INVALID;
    RTS_UI32 ulLast = 0;
    RTS_UI32 ulTags = 0;
    while (BTagReaderMoveNext(&reader, &et) == ERR_OK && et == BTAG_ET_STARTTAG) {
        Check(BTagReaderGetTagId(&reader, &ulLast) == ERR_OK);
        Check(BTagReaderMoveNext(&reader, &et) == ERR_OK && et == BTAG_ET_ENDTAG);
        ++ulTags;
    }
    Check(et == BTAG_ET_EOF);
    Check(ulTags > 0 && ulLast == 0x14);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static klemu::VarServices* s_pVs = [] {
        auto* p = new klemu::VarServices();
        std::string error;
        Check(p->LoadSymbolData(kSymbols, sizeof(kSymbols) - 1, &error));
        return p;
    }();
    klemu::VarServices& vs = *s_pVs;
    vs.Reset();
    std::vector<uint32_t> reply(1 << 16);
    size_t pos = 0;
    for (int round = 0; round < 64 && size - pos >= 4; ++round) {
        uint8_t byService = data[pos];
        uint8_t byMode = data[pos + 1];
        size_t n = static_cast<size_t>(data[pos + 2] | (data[pos + 3] << 8));
        pos += 4;
        n = n < size - pos ? n : size - pos;
        // The body in memory of its own, so that any overread is caught.
        std::vector<uint8_t> body(data + pos, data + pos + n);
        pos += n;
        vs.SetChannelBufferSize((byMode & 2) != 0 ? 300 : 65536);
        vs.SetExtendableLists((byMode & 4) != 0);
        vs.SetMaxVariableSize((byMode & 8) != 0 ? 100000 : 0);
        klemu::ServiceRequest request;
        request.usGroup = 9;
        request.usService = byService;
        request.bSwap = (byMode & 1) != 0;
        request.pBody = body.empty() ? nullptr : body.data();
        request.ulBodySize = static_cast<uint32_t>(body.size());
        BINTAGWRITER writer;
        Check(BTagWriterInit2(&writer, reinterpret_cast<RTS_UI8*>(reply.data()), 4 * (1 << 16), 0) == ERR_OK);
        Check(BTagWriterStartService(&writer, 0, 0xCD55, 0x89, byService) == ERR_OK);
        if (!vs.Handle(request, &writer)) {
            Check(writer.ulPos == 0);
            continue;
        }
        Check(writer.bBufferOverflow == 0 && writer.nStackPos == -1);
        Check(BTAG_HEADER_SIZE + writer.ulPos <= vs.ChannelBufferSize());
        CheckReply(&writer);
    }
    return 0;
}
