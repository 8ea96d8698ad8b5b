// The XML parser component: expat underneath, 16-bit text towards the
// handlers (see CmpXMLParserItf.h). Files are read through the platform
// layer in pieces, so a document of any size needs only one piece of buffer
// besides what expat keeps of the open elements.
#include "CmpXMLParserItf.h"

#include <expat.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "SysFile.h"

namespace {

PF_REGISTER_API s_pfCMRegisterAPI = nullptr;

constexpr RTS_UI32 kParserMagic = 0x584D4C50u;

struct XmlParserInstance {
    RTS_UI32 ulMagic = kParserMagic;
    XML_Parser parser = nullptr;
    std::string fileName;
    void* pUserData = nullptr;
    PFXMLSTARTELEMENTHANDLER pfStart = nullptr;
    PFXMLENDELEMENTHANDLER pfEnd = nullptr;
    PFXMLCHARACTERDATAHANDLER pfCharData = nullptr;
    // Set by StopXMLParser or a failed conversion: expat may still deliver a
    // few events after a stop, and none of them must reach the caller.
    bool bStopped = false;
    // Converted texts of one event, and where each text starts in it.
    std::vector<RTS_WCHAR> text;
    std::vector<RTS_SIZE> starts;
    std::vector<const RTS_WCHAR*> pointers;
};

XmlParserInstance* Instance(RTS_HANDLE h) {
    if (h == nullptr || h == RTS_INVALID_HANDLE) {
        return nullptr;
    }
    XmlParserInstance* p = static_cast<XmlParserInstance*>(h);
    return p->ulMagic == kParserMagic ? p : nullptr;
}

// Appends UTF-8 text as UTF-16 and a terminator. Expat hands out valid UTF-8;
// anything else still converts, each bad byte to U+FFFD.
void AppendUtf16(std::vector<RTS_WCHAR>& out, const char* psz, RTS_SIZE len) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(psz);
    RTS_SIZE i = 0;
    while (i < len) {
        RTS_UI32 c = p[i];
        RTS_SIZE n = 0;
        RTS_UI32 min = 0;
        if (c < 0x80) {
            n = 0;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1;
            c &= 0x1F;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            c &= 0x0F;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            c &= 0x07;
            min = 0x10000;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        bool bValid = i + n < len;
        for (RTS_SIZE k = 1; bValid && k <= n; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                bValid = false;
            } else {
                c = (c << 6) | (p[i + k] & 0x3F);
            }
        }
        if (!bValid || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<RTS_WCHAR>(0xD800 + (c >> 10)));
            out.push_back(static_cast<RTS_WCHAR>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<RTS_WCHAR>(c));
        }
        i += n + 1;
    }
    out.push_back(0);
}

void Stop(XmlParserInstance* p) {
    p->bStopped = true;
    XML_StopParser(p->parser, XML_FALSE);
}

// Handlers run inside expat's C frames: no exception may leave them.
void XMLCALL OnStart(void* pData, const XML_Char* pszName, const XML_Char** ppszAttrs) {
    XmlParserInstance* p = static_cast<XmlParserInstance*>(pData);
    if (p->bStopped || p->pfStart == nullptr) {
        return;
    }
    try {
        p->text.clear();
        p->starts.clear();
        p->starts.push_back(0);
        AppendUtf16(p->text, pszName, std::strlen(pszName));
        for (const XML_Char** pp = ppszAttrs; *pp != nullptr; ++pp) {
            p->starts.push_back(p->text.size());
            AppendUtf16(p->text, *pp, std::strlen(*pp));
        }
        // Pointers only once the text has stopped growing.
        p->pointers.clear();
        for (RTS_SIZE i = 1; i < p->starts.size(); ++i) {
            p->pointers.push_back(p->text.data() + p->starts[i]);
        }
        p->pointers.push_back(nullptr);
        p->pfStart(p->pUserData, p->text.data(), p->pointers.data());
    } catch (...) {
        Stop(p);
    }
}

void XMLCALL OnEnd(void* pData, const XML_Char* pszName) {
    XmlParserInstance* p = static_cast<XmlParserInstance*>(pData);
    if (p->bStopped || p->pfEnd == nullptr) {
        return;
    }
    try {
        p->text.clear();
        AppendUtf16(p->text, pszName, std::strlen(pszName));
        p->pfEnd(p->pUserData, p->text.data());
    } catch (...) {
        Stop(p);
    }
}

void XMLCALL OnCharData(void* pData, const XML_Char* pszText, int iLen) {
    XmlParserInstance* p = static_cast<XmlParserInstance*>(pData);
    if (p->bStopped || p->pfCharData == nullptr || iLen <= 0) {
        return;
    }
    try {
        p->text.clear();
        AppendUtf16(p->text, pszText, static_cast<RTS_SIZE>(iLen));
        p->pfCharData(p->pUserData, p->text.data(), static_cast<RTS_I32>(p->text.size() - 1));
    } catch (...) {
        Stop(p);
    }
}

// Never resolve external entities or an external DTD subset.
int XMLCALL OnExternalEntityRef(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*,
                                const XML_Char*) {
    return XML_STATUS_ERROR;
}

RTS_RESULT ParseFile(XmlParserInstance* p) {
    RTS_RESULT result = ERR_OK;
    RTS_HANDLE hFile = SysFileOpen(p->fileName.c_str(), AM_READ, &result);
    if (hFile == RTS_INVALID_HANDLE) {
        return result != ERR_OK ? result : ERR_FAILED;
    }
    RTS_RESULT parseResult = ERR_OK;
    for (;;) {
        void* pBuffer = XML_GetBuffer(p->parser, XMLPARSER_READ_CHUNK);
        if (pBuffer == nullptr) {
            parseResult = ERR_FAILED;
            break;
        }
        RTS_RESULT readResult = ERR_OK;
        RTS_SIZE n = SysFileRead(hFile, pBuffer, XMLPARSER_READ_CHUNK, &readResult);
        if (readResult != ERR_OK) {
            parseResult = readResult;
            break;
        }
        int bFinal = n == 0 ? 1 : 0;
        if (XML_ParseBuffer(p->parser, static_cast<int>(n), bFinal) != XML_STATUS_OK || p->bStopped) {
            parseResult = ERR_FAILED;
            break;
        }
        if (bFinal != 0) {
            break;
        }
    }
    SysFileClose(hFile);
    return parseResult;
}

}  // namespace

RTS_HANDLE CreateXMLParser3(const char* pszFileName, const char* pszEncoding, void* pUserData,
                            RTS_RESULT* pResult) {
    auto set = [pResult](RTS_RESULT r) {
        if (pResult != nullptr) {
            *pResult = r;
        }
    };
    XmlParserInstance* p = new (std::nothrow) XmlParserInstance;
    if (p == nullptr) {
        set(ERR_NOMEMORY);
        return RTS_INVALID_HANDLE;
    }
    try {
        if (pszFileName != nullptr) {
            p->fileName = pszFileName;
        }
    } catch (...) {
        delete p;
        set(ERR_NOMEMORY);
        return RTS_INVALID_HANDLE;
    }
    p->parser = XML_ParserCreate(pszEncoding);
    if (p->parser == nullptr) {
        delete p;
        set(ERR_NOMEMORY);
        return RTS_INVALID_HANDLE;
    }
    p->pUserData = pUserData;
    XML_SetUserData(p->parser, p);
    XML_SetElementHandler(p->parser, OnStart, OnEnd);
    XML_SetCharacterDataHandler(p->parser, OnCharData);
    XML_SetParamEntityParsing(p->parser, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetExternalEntityRefHandler(p->parser, OnExternalEntityRef);
    set(ERR_OK);
    return p;
}

RTS_RESULT SetXMLElementHandler(RTS_HANDLE hParser, PFXMLSTARTELEMENTHANDLER pfStart,
                                PFXMLENDELEMENTHANDLER pfEnd) {
    XmlParserInstance* p = Instance(hParser);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    p->pfStart = pfStart;
    p->pfEnd = pfEnd;
    return ERR_OK;
}

RTS_RESULT SetXMLCharacterDataHandler(RTS_HANDLE hParser, PFXMLCHARACTERDATAHANDLER pfCharData) {
    XmlParserInstance* p = Instance(hParser);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    p->pfCharData = pfCharData;
    return ERR_OK;
}

RTS_RESULT ParseXML2(RTS_HANDLE hParser, const char* pData, RTS_I32 iLen, RTS_I32 bIsFinal) {
    XmlParserInstance* p = Instance(hParser);
    if (p == nullptr || iLen < 0 || (pData == nullptr && iLen > 0)) {
        return ERR_PARAMETER;
    }
    if (p->bStopped) {
        return ERR_FAILED;
    }
    if (pData == nullptr && iLen == 0 && !p->fileName.empty()) {
        return ParseFile(p);
    }
    if (XML_Parse(p->parser, pData, iLen, bIsFinal != 0 ? 1 : 0) != XML_STATUS_OK || p->bStopped) {
        return ERR_FAILED;
    }
    return ERR_OK;
}

RTS_RESULT StopXMLParser(RTS_HANDLE hParser) {
    XmlParserInstance* p = Instance(hParser);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    if (!p->bStopped) {
        Stop(p);
    }
    return ERR_OK;
}

RTS_RESULT GetXMLErrorInfo(RTS_HANDLE hParser, RTS_UI32* pulLine, RTS_UI32* pulColumn, char* pszText,
                           RTS_UI32 ulTextSize) {
    XmlParserInstance* p = Instance(hParser);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    if (pulLine != nullptr) {
        *pulLine = static_cast<RTS_UI32>(XML_GetCurrentLineNumber(p->parser));
    }
    if (pulColumn != nullptr) {
        *pulColumn = static_cast<RTS_UI32>(XML_GetCurrentColumnNumber(p->parser));
    }
    if (pszText != nullptr && ulTextSize > 0) {
        const XML_LChar* pszError = XML_ErrorString(XML_GetErrorCode(p->parser));
        KlStrCopy(pszText, ulTextSize, pszError != nullptr ? pszError : "");
    }
    return ERR_OK;
}

RTS_RESULT FreeXMLParser(RTS_HANDLE hParser) {
    XmlParserInstance* p = Instance(hParser);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    XML_ParserFree(p->parser);
    p->ulMagic = 0;
    delete p;
    return ERR_OK;
}

// ---- Component shape ------------------------------------------------------------

namespace {

RTS_RESULT ExportFunctions(void) {
    KL_EXPORT(s_pfCMRegisterAPI, CreateXMLParser3);
    KL_EXPORT(s_pfCMRegisterAPI, SetXMLElementHandler);
    KL_EXPORT(s_pfCMRegisterAPI, SetXMLCharacterDataHandler);
    KL_EXPORT(s_pfCMRegisterAPI, ParseXML2);
    KL_EXPORT(s_pfCMRegisterAPI, StopXMLParser);
    KL_EXPORT(s_pfCMRegisterAPI, GetXMLErrorInfo);
    KL_EXPORT(s_pfCMRegisterAPI, FreeXMLParser);
    return ERR_OK;
}

RTS_RESULT ImportFunctions(void) {
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03050000u | (XML_MAJOR_VERSION << 8) | XML_MINOR_VERSION;
}

RTS_RESULT HookFunction(RTS_UI32, RTS_UINTPTR, RTS_UINTPTR) {
    return ERR_OK;
}

}  // namespace

RTS_RESULT CmpXMLParser__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpXMLParser;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    s_pfCMRegisterAPI = pInitStruct->pfCMRegisterAPI;
    return ERR_OK;
}
