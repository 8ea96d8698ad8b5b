/* The public headers as a C program sees them: the layout C computes, and a
   call through the C declarations. */
#include "kestrolink/PlcConfig.h"
#include "kestrolink/PlcDrv.h"

size_t KlCLayout(size_t* pOut, size_t n);
int KlCDriverInfo(PLC_DRV_INFO* pInfo);

size_t KlCLayout(size_t* pOut, size_t n) {
    const size_t layout[] = {sizeof(PlcConfigStruct),
                             offsetof(PlcConfigStruct, ulLogFilter),
                             sizeof(GatewayConnectionStruct),
                             sizeof(PlcParameterStruct),
                             offsetof(PlcParameterStruct, Value),
                             sizeof(PlcParameterDescStruct),
                             sizeof(PlcDeviceDescStruct),
                             sizeof(ComAttr),
                             offsetof(ComAttr, _tcpPort),
                             sizeof(RegAttr),
                             sizeof(RegItm),
                             sizeof(UserOper),
                             sizeof(PLC_TCP_INIT_PARAMETERS),
                             sizeof(PLC_DRV_INIT_SETTINGS),
                             sizeof(PLC_DRV_REG_ADDR),
                             sizeof(PLC_DRV_BUFF)};
    size_t count = sizeof(layout) / sizeof(layout[0]);
    size_t i;
    for (i = 0; i < n && i < count; ++i) {
        pOut[i] = layout[i];
    }
    return count;
}

int KlCDriverInfo(PLC_DRV_INFO* pInfo) {
    return ev_plc_driver_info(pInfo);
}
