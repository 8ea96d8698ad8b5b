// The component shell of the binary-tag utilities: registers every writer,
// reader and service-exchange function with the component manager, and looks
// after the file-stream writer's shared buffer across start and shutdown. The
// component needs no functions of others.
#include "BinTagPrivate.h"
#include "BinTagService.h"

namespace {

PF_REGISTER_API s_pfRegisterAPI = nullptr;

RTS_RESULT ExportFunctions(void) {
    PF_REGISTER_API reg = s_pfRegisterAPI;
    if (reg == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    KL_EXPORT(reg, BTagWriterInit);
    KL_EXPORT(reg, BTagWriterInit2);
    KL_EXPORT(reg, BTagWriterFileInit);
    KL_EXPORT(reg, BTagWriterFileInit2);
    KL_EXPORT(reg, BTagWriterFileStreamInit);
    KL_EXPORT(reg, BTagWriterFileStreamInit2);
    KL_EXPORT(reg, BTagWriterStartService);
    KL_EXPORT(reg, BTagWriterStartTag);
    KL_EXPORT(reg, BTagWriterAppendBlob);
    KL_EXPORT(reg, BTagWriterAppendString);
    KL_EXPORT(reg, BTagWriterAppendWString);
    KL_EXPORT(reg, BTagWriterAppendGUID);
    KL_EXPORT(reg, BTagWriterAppendRaw);
    KL_EXPORT(reg, BTagWriterAppendFillBytes);
    KL_EXPORT(reg, BTagWriterAppendDummyBytes);
    KL_EXPORT(reg, BTagWriterEndTag);
    KL_EXPORT(reg, BTagWriteSingleTag);
    KL_EXPORT(reg, BTagWriterGetAvailableBuffer);
    KL_EXPORT(reg, BTagWriterCreateSavepoint);
    KL_EXPORT(reg, BTagWriterRestoreSavepoint);
    KL_EXPORT(reg, BTagWriterSwitchBuffer);
    KL_EXPORT(reg, BTagWriterFinishService);
    KL_EXPORT(reg, BTagWriterFinish);
    KL_EXPORT(reg, BTagSwapHeader);
    KL_EXPORT(reg, BTagReaderInit);
    KL_EXPORT(reg, BTagReaderFileInit);
    KL_EXPORT(reg, BTagReaderMoveNext);
    KL_EXPORT(reg, BTagReaderPeekNext);
    KL_EXPORT(reg, BTagReaderSkipContent);
    KL_EXPORT(reg, BTagReaderGetTagId);
    KL_EXPORT(reg, BTagReaderGetTagLen);
    KL_EXPORT(reg, BTagReaderIsDataTag);
    KL_EXPORT(reg, BTagReaderGetContent);
    KL_EXPORT(reg, BTagReaderGetComplexContent);
    KL_EXPORT(reg, BTagReaderGetString);
    KL_EXPORT(reg, BTagReaderCreateSavepoint);
    KL_EXPORT(reg, BTagReaderRestoreSavepoint);
    KL_EXPORT(reg, BTagReaderGetFirstTag);
    KL_EXPORT(reg, BTagReaderGetNextTag);
    KL_EXPORT(reg, BTagServiceStart);
    KL_EXPORT(reg, BTagServiceFinish);
    KL_EXPORT(reg, BTagServiceCheckReply);
    KL_EXPORT(reg, BTagServiceWalkTags);
    KL_EXPORT(reg, BTagReaderGetCursor);
    KL_EXPORT(reg, BTagReaderGetUI16);
    KL_EXPORT(reg, BTagReaderGetUI32);
    KL_EXPORT(reg, BTagCursorInit);
    KL_EXPORT(reg, BTagCursorRemaining);
    KL_EXPORT(reg, BTagCursorReadUI8);
    KL_EXPORT(reg, BTagCursorReadUI16);
    KL_EXPORT(reg, BTagCursorReadUI32);
    KL_EXPORT(reg, BTagCursorReadUI64);
    KL_EXPORT(reg, BTagCursorReadBytes);
    KL_EXPORT(reg, BTagCursorReadCounted);
    KL_EXPORT(reg, BTagCursorReadCountedString);
    KL_EXPORT(reg, BTagProgressInit);
    KL_EXPORT(reg, BTagProgressNext);
    return ERR_OK;
}

RTS_RESULT ImportFunctions(void) {
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    // The shared buffer starts out as the static 100,000 bytes, so there is
    // nothing to set up; at shutdown an enlarged one is given back.
    if (ulHook == CH_EXIT) {
        bintag::SharedBufferShutdown();
    }
    return ERR_OK;
}

}  // namespace

RTS_RESULT CmpBinTagUtil__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpBinTagUtil;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    s_pfRegisterAPI = pInitStruct->pfCMRegisterAPI;
    return ERR_OK;
}
