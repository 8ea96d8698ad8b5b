// The ev_plc side of the panel driver: start-up (controller address and
// port, the character-set thread), driver information, the small utility
// functions, and the fixed connection configuration handed to the SDK. The
// driver talks to the SDK only through the public C interface.
#include "plc_driver.h"

#include "charset.h"

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

namespace plc_driver {

std::uintptr_t ulKestrolink = 0;
int init = 0;
char malvora_plc_ip[100] = "192.168.1.88";
char ip_buff[20] = {};
uint16_t PORT = 0;
uint16_t _no_plc = 0;
Tag_init_struct global_structure = {};
Plc_user_set_Parameter_Struct plc_user_set_Parameter_Struct = {};
uint16_t IndexPosition[PLC_MAX_GROUP_ITEMS] = {};
uint16_t tag_init_flag = 0;

namespace {
// The fixed texts the driver configures; the parameter values are filled in
// from the recorded address and port.
const char* const kParameterNames[3] = {"IpAddress", "Port", "DontLoadSymbolsFromPlc"};

void CopyText(char* pszDest, size_t size, const char* pszSrc) {
    if (size != 0) {
        std::snprintf(pszDest, size, "%s", pszSrc != nullptr ? pszSrc : "");
    }
}

bool StartTagInitThread(Tag_init_struct* pRecord) {
    try {
        std::thread thread(tag_init, pRecord);
        thread.detach();
        return true;
    } catch (...) {
        return false;
    }
}
}  // namespace

void tag_init(void* arg) {
    delete static_cast<Tag_init_struct*>(arg);
    Init_File_GB();
    Init_File_GB_usr();
}

}  // namespace plc_driver

using namespace plc_driver;

extern "C" {

int ev_plc_init(PLC_TCP_INIT_PARAMETERS* tcp, PLC_DRV_INIT_SETTINGS* settings, uint16_t _no) noexcept {
    std::printf(">>>>>>>>>>>>>>>>>...init....\n\n");
    if (tcp == nullptr) {
        return 1;
    }
    // Built afresh on every call: a second start records one address, not two joined.
    uint32_t ulIp = static_cast<uint32_t>(tcp->ipaddr);
    std::snprintf(ip_buff, sizeof(ip_buff), "%u.%u.%u.%u", static_cast<unsigned>(ulIp >> 24),
                  static_cast<unsigned>((ulIp >> 16) & 0xFF), static_cast<unsigned>((ulIp >> 8) & 0xFF),
                  static_cast<unsigned>(ulIp & 0xFF));
    CopyText(malvora_plc_ip, sizeof(malvora_plc_ip), ip_buff);
    PORT = tcp->port;

    std::unique_ptr<Tag_init_struct> pRecord(new (std::nothrow) Tag_init_struct());
    if (pRecord == nullptr) {
        std::printf("Malloc failed\r");
        return 1;
    }
    pRecord->settings = settings;
    pRecord->_no = _no;
    _no_plc = _no;
    if (!StartTagInitThread(pRecord.get())) {
        std::printf("Create thread error\r");
        return 1;
    }
    pRecord.release();  // the thread owns it now
    std::printf("Malvora_connect_init ret = %d \n", 2);
    return 0;
}

int ev_plc_driver_info(PLC_DRV_INFO* info) noexcept {
    if (info == nullptr) {
        return 1;
    }
    info->driver_no = PLC_DRIVER_NO;
    info->version = PLC_DRIVER_VERSION;
    return 0;
}

int ev_plc_slave_main(short /*slaveId*/, int* /*piLocalBits*/, short* /*psLocalWords*/, int /*iSemId*/,
                      PLC_DRV_INIT_SETTINGS* /*settings*/) noexcept {
    for (;;) {
        ev_sleep(5);
        std::printf("PLC DRIVER : slave mode not support!\r");
    }
}

void ev_sleep(unsigned int ms) noexcept {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int ev_time_set(int fd, int ms) noexcept {
    // poll rather than select: any descriptor number is safe. A negative
    // time would make it wait for ever, and an invalid descriptor is an
    // error as select reports it, not a readable one.
    if (fd < 0) {
        return -1;
    }
    pollfd pfd = {};
    pfd.fd = fd;
    pfd.events = POLLIN;
    int ret = poll(&pfd, 1, ms < 0 ? 0 : ms);
    if (ret > 0 && (pfd.revents & POLLNVAL) != 0) {
        return -1;
    }
    return ret;
}

int ReCommunicationSet(PLC_DRV_INIT_SETTINGS* /*settings*/) noexcept {
    return 0;
}

int CommunicationSet(PLC_TCP_INIT_PARAMETERS* /*tcp*/, PLC_DRV_INIT_SETTINGS* /*settings*/) noexcept {
    return 0;
}

bool DefineStartupsInStruct(PlcConfigStruct* pConfig, PlcDeviceDescStruct* pDevice) noexcept {
    if (pConfig == nullptr || pDevice == nullptr) {
        return false;
    }
    Plc_user_set_Parameter_Struct& storage = plc_user_set_Parameter_Struct;
    CopyText(storage.pConfig_pszName, sizeof(storage.pConfig_pszName), "PLC_Inst0");

    *pConfig = PlcConfigStruct{};
    pConfig->ulId = 0;
    pConfig->pszName = storage.pConfig_pszName;
    pConfig->it = IT_ARTI3;
    pConfig->bActive = 1;
    pConfig->bMotorola = 0;
    pConfig->bLogin = 1;
    pConfig->bLogToFile = 1;
    pConfig->bPreCheckIdentity = 1;
    pConfig->ulTimeout = 5000;
    pConfig->ulNumTries = 3;
    pConfig->ulWaitTime = 5000;
    pConfig->ulReconnectTime = 5000;
    pConfig->ulHwVersion = 0;
    pConfig->ulBufferSize = 0;
    pConfig->ulLogFilter = 255;

    storage.pDevice_pszName[0] = '\0';
    for (int i = 0; i < 3; ++i) {
        CopyText(storage.pDevice_ppd_pszName[i], sizeof(storage.pDevice_ppd_pszName[i]), kParameterNames[i]);
    }
    std::printf("malvora_plc_ip=%s\n", malvora_plc_ip);
    CopyText(storage.pDevice_ppd_pParameter_Value_psz[0], sizeof(storage.pDevice_ppd_pParameter_Value_psz[0]),
             malvora_plc_ip);
    std::printf("PORT=%d\n", PORT);
    std::snprintf(storage.pDevice_ppd_pParameter_Value_psz[1],
                  sizeof(storage.pDevice_ppd_pParameter_Value_psz[1]), "%u", static_cast<unsigned>(PORT));
    CopyText(storage.pDevice_ppd_pParameter_Value_psz[2], sizeof(storage.pDevice_ppd_pParameter_Value_psz[2]),
             "1");
    for (int i = 0; i < 3; ++i) {
        storage.pDevice_ppd_parameter[i] = PlcParameterStruct{};
        storage.pDevice_ppd_parameter[i].Type = PLC_PT_STRING;
        storage.pDevice_ppd_parameter[i].Value.psz = storage.pDevice_ppd_pParameter_Value_psz[i];
        storage.pDevice_ppd[i].ulId = 0;
        storage.pDevice_ppd[i].pszName = storage.pDevice_ppd_pszName[i];
        storage.pDevice_ppd[i].pParameter = &storage.pDevice_ppd_parameter[i];
    }

    *pDevice = PlcDeviceDescStruct{};
    pDevice->pszName = storage.pDevice_pszName;
    pDevice->pszInstance = nullptr;
    pDevice->pszProject = nullptr;
    pDevice->ulNumParams = 3;
    pDevice->ppd = storage.pDevice_ppd;
    return true;
}

long RequestCredentialsCallback(RTS_UINTPTR /*hKestrolink*/, RequestCredentialsType requestCredentialsType,
                                char* /*pszUserName*/, unsigned long /*ulUserNameSize*/,
                                char* /*pszPassword*/, unsigned long /*ulPasswordSize*/,
                                void* /*pCstData*/) noexcept {
    switch (requestCredentialsType) {
        case REQ_CREDENTIALS_V2_GW_PWD:
            std::printf("RequestCredentialsCallback: V2 gateway password requested.\r");
            break;
        case REQ_CREDENTIALS_V2_PLC_PWD:
            std::printf("RequestCredentialsCallback: V2 PLC password requested.\r");
            break;
        case REQ_CREDENTIALS_V3_PLC_USR_PWD:
            std::printf("RequestCredentialsCallback: V3 PLC user name and password requested.\r");
            break;
        default:
            std::printf("RequestCredentialsCallback: Unknown requestCredentialsType.\r");
            break;
    }
    // The driver has no credentials: saying so keeps the SDK from logging in
    // with whatever the buffers held, and from asking again for ever.
    return RESULT_NO_CREDENTIALS;
}

int Malvora_connect_init(PLC_DRV_INIT_SETTINGS* settings) noexcept {
    PlcConfigStruct config;
    PlcDeviceDescStruct device;
    if (!DefineStartupsInStruct(&config, &device)) {
        return -1;
    }
    // A handle left from an earlier attempt would be lost when replaced.
    closehandel(settings);
    ulKestrolink = KestrolinkInit(&config, &device, nullptr);
    if (ulKestrolink == 0) {
        init = 0;
        return -1;
    }
    KestrolinkSetClientInformation(ulKestrolink, PLC_DRIVER_CLIENT_NAME, KESTROLINK_VENDOR_NAME,
                                   PLC_DRIVER_CLIENT_VERSION, 0);
    uint32_t ulVersion = KestrolinkGetVersion(ulKestrolink);
    long v[4] = {static_cast<long>((ulVersion >> 24) & 0xFF), static_cast<long>((ulVersion >> 16) & 0xFF),
                 static_cast<long>((ulVersion >> 8) & 0xFF), static_cast<long>(ulVersion & 0xFF)};
    std::printf("Kestrolink Version: V%ld.%ld.%ld.%ld\n", v[0], v[1], v[2], v[3]);
    KestrolinkAddLogEntry(
        ulKestrolink, 0x9991001u, 1, 0,
        ">>>>>>>>>> KestrolinkDemoC: KestrolinkAddLogEntry Test: Used Kestrolink: V%d.%d.%d.%d",
        static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]), static_cast<int>(v[3]));
    KestrolinkSetConnectionCallbacks3(ulKestrolink, nullptr, nullptr, nullptr, nullptr,
                                      RequestCredentialsCallback, nullptr);
    std::printf("KestrolinkSetConnectionCallbacks3  ....\r");
    long lResult = KestrolinkConnect(ulKestrolink, 0xFFFFFFFFu, nullptr, 1);
    std::printf("KestrolinkConnectTcpipViaArti PLCC_DN_TCPIP:%ld ....\r\n", lResult);
    if (lResult == RESULT_OK) {
        init = 1;
        return 0;
    }
    closehandel(settings);
    init = 0;
    return -1;
}

void closehandel(PLC_DRV_INIT_SETTINGS* /*settings*/) noexcept {
    if (ulKestrolink != 0) {
        KestrolinkDisconnect(ulKestrolink);
        KestrolinkExit(ulKestrolink);
        ulKestrolink = 0;
    }
}

}  // extern "C"
