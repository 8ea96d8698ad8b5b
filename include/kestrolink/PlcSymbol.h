/* Symbol descriptors of the Kestrolink SDK: one PlcSymbolDesc per controller
   variable, as the connection object hands them to client programs, and the
   type codes (PlcTypeClass plus kind and flag bits) in its ulTypeId. Usable
   from C and C++.

   The record crosses the library boundary, so its layout is fixed: fields
   keep their order and fixed widths, texts are pointers.
   Layout on the 32-bit ARM target (byte offsets):
     PlcSymbolDesc  28 bytes: pszName 0, ulTypeId 4, pszType 8, usRefId 12,
                    ulOffset 16, ulSize 20, szAccess 24, bySwapSize 26
   Layout on 64-bit Linux:
     PlcSymbolDesc  40 bytes: pszName 0, ulTypeId 8, pszType 16, usRefId 24,
                    ulOffset 28, ulSize 32, szAccess 36, bySwapSize 38 */
#ifndef KESTROLINK_PLCSYMBOL_H
#define KESTROLINK_PLCSYMBOL_H

#include <stddef.h>
#include <stdint.h>

#include "kestrolink/KestrolinkExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Class of a type: the low 16 bits of a type code. */
typedef enum PlcTypeClass {
    DATATYPE_BOOL = 0,
    DATATYPE_SINT = 1,
    DATATYPE_USINT = 2,
    DATATYPE_BYTE = 3,
    DATATYPE_INT = 4,
    DATATYPE_UINT = 5,
    DATATYPE_WORD = 6,
    DATATYPE_DINT = 7,
    DATATYPE_UDINT = 8,
    DATATYPE_DWORD = 9,
    DATATYPE_REAL = 10,
    DATATYPE_LREAL = 11,
    DATATYPE_TIME = 12,
    DATATYPE_STRING = 13,
    DATATYPE_BITORBYTE = 14,
    DATATYPE_DATE = 15,
    DATATYPE_TOD = 16,
    DATATYPE_DT = 17,
    DATATYPE_REF = 18,
    DATATYPE_VOID = 19,
    DATATYPE_LINT = 20,
    DATATYPE_ULINT = 21,
    DATATYPE_LTIME = 22,
    DATATYPE_WSTRING = 23,
    DATATYPE_LWORD = 24,
    DATATYPE_BIT = 25,
    DATATYPE_MAX = 26
} PlcTypeClass;

/* A full type code: the class in the low 16 bits, the kind in bits 16 to 19,
   flags above. */
#define DATATYPE_CLASS_MASK 0x0000FFFFu
#define DATATYPE_KIND_MASK 0x000F0000u
#define DATATYPE_KIND_DATA 0x00010000u          /* user data type (structure) */
#define DATATYPE_KIND_ARRAY 0x00020000u         /* array; the class is the element's */
#define DATATYPE_KIND_ARRAY_UNKNOWN 0x00030000u /* array of unknown element type */
#define DATATYPE_KIND_POINTER 0x00040000u       /* pointer or reference */
#define DATATYPE_KIND_ENUM 0x00080000u          /* enumeration */
#define DATATYPE_FLAG_PROPERTY 0x00100000u      /* structure member that is a property */
#define DATATYPE_FLAG_REFERENCE 0x00200000u     /* reference (VAR_IN_OUT member, reference variable) */
#define DATATYPE_FLAG_MASK 0xFFF00000u

/* One controller variable. A new descriptor is all zero. szAccess holds one
   access letter ("r", "w", "b" for both, "n" for none) and a terminator. */
typedef struct PlcSymbolDescStruct {
    char* pszName;
    uint32_t ulTypeId;
    char* pszType;
    uint16_t usRefId;
    uint32_t ulOffset;
    uint32_t ulSize;
    char szAccess[2];
    uint8_t bySwapSize;
} PlcSymbolDescStruct, PlcSymbolDesc;

#ifdef __cplusplus
}
#endif

KESTROLINK_STATIC_ASSERT(sizeof(PlcTypeClass) == 4, "PlcTypeClass is a 32-bit value");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, ulTypeId) == sizeof(void*), "PlcSymbolDesc.ulTypeId");

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
KESTROLINK_STATIC_ASSERT(sizeof(PlcSymbolDescStruct) == 28, "PlcSymbolDesc size (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, pszType) == 8, "PlcSymbolDesc.pszType (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, usRefId) == 12, "PlcSymbolDesc.usRefId (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, ulOffset) == 16, "PlcSymbolDesc.ulOffset (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, ulSize) == 20, "PlcSymbolDesc.ulSize (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, szAccess) == 24, "PlcSymbolDesc.szAccess (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, bySwapSize) == 26,
                         "PlcSymbolDesc.bySwapSize (32-bit)");
#elif defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 8
KESTROLINK_STATIC_ASSERT(sizeof(PlcSymbolDescStruct) == 40, "PlcSymbolDesc size (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, pszType) == 16, "PlcSymbolDesc.pszType (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, usRefId) == 24, "PlcSymbolDesc.usRefId (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, ulOffset) == 28, "PlcSymbolDesc.ulOffset (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, ulSize) == 32, "PlcSymbolDesc.ulSize (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, szAccess) == 36, "PlcSymbolDesc.szAccess (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcSymbolDescStruct, bySwapSize) == 38,
                         "PlcSymbolDesc.bySwapSize (64-bit)");
#endif

#endif /* KESTROLINK_PLCSYMBOL_H */
