// The configuration database client, as the daemon calls it: an in-memory
// store that answers every read from memory, kept in one text file
// ($LUM_DB_FILE). See docs/database.md for the file format.
#pragma once

#include <cstdint>

// Kinds of object.
inline constexpr uint32_t LUM_DB_KIND_LANDEVICE = 0xA0000C00;
inline constexpr uint32_t LUM_DB_KIND_HOST = 0xA0003C00;
inline constexpr uint32_t LUM_DB_KIND_HOST_IPV6 = 0xA0023D00;
inline constexpr uint32_t LUM_DB_KIND_AVAIL_IF = 0xA0006000;
inline constexpr uint32_t LUM_DB_KIND_LAN_ETH_IF = 0xA8003300;
inline constexpr uint32_t LUM_DB_KIND_WLAN_CFG = 0xE0003100;
inline constexpr uint32_t LUM_DB_KIND_BRIDGE_NUM = 0xE8006200;

// Parameters settable one at a time (host slots 14, 15 and 4).
inline constexpr uint32_t LUM_DB_PARA_HOST_IPV4_ACTIVE = 0xAE003C0F;
inline constexpr uint32_t LUM_DB_PARA_HOST_IPV6_ACTIVE = 0xAE023C10;
inline constexpr uint32_t LUM_DB_PARA_HOST_LAST_CHANGE = 0xA5803C05;

// Status codes of the client (0 is success).
inline constexpr uint32_t LUM_DB_ERR_PARAM = 0xDB0001;      // missing or bad argument
inline constexpr uint32_t LUM_DB_ERR_NOT_FOUND = 0xDB0002;  // no such object, or past the last
inline constexpr uint32_t LUM_DB_ERR_NO_PARENT = 0xDB0003;  // the parent object does not exist
inline constexpr uint32_t LUM_DB_ERR_KIND = 0xDB0004;       // unknown kind or parameter
inline constexpr uint32_t LUM_DB_ERR_NO_ROOM = 0xDB0005;    // buffer too small
inline constexpr uint32_t LUM_DB_ERR_IO = 0xDB0006;         // the file cannot be written
inline constexpr uint32_t LUM_DB_ERR_NO_MEM = 0xDB0007;
inline constexpr uint32_t LUM_DB_ERR_EXISTS = 0xDB0008;  // a singleton that exists already

// Six instance numbers, outermost first.
inline constexpr int LUM_DB_KEYS = 6;

// One slot of an object value: a text owned by the value, or a number.
union LUM_DB_SLOT {
  char *pcStr;
  uint32_t ulNum;
};

uint32_t LUM_DBInit(uint32_t ulFlags, uint32_t ulReserved);
// Objects of a kind below the parent (nullptr, or zero entries, mean all parents).
// The instance array (the objects' own instance numbers) is malloc'ed; free() it.
uint32_t LUM_DBGetNumOfObjs(const uint32_t *pulParentKeys, uint32_t ulKind, uint32_t *pulCount,
                            uint32_t **ppulInstances);
uint32_t LUM_DBGetObjectBySeqNum(const uint32_t *pulParentKeys, uint32_t ulKind, uint32_t ulSeq,
                                 LUM_DB_SLOT **ppstValue, uint32_t ulReserved1,
                                 uint32_t ulReserved2, uint32_t *pulKeysOut);
uint32_t LUM_DBGetObj(const uint32_t *pulKeys, uint32_t ulKind, LUM_DB_SLOT **ppstValue,
                      uint32_t ulReserved);
uint32_t LUM_DBGetDftObject(uint32_t ulKind, LUM_DB_SLOT **ppstValue, uint32_t ulReserved);
uint32_t LUM_DBAddObj(const uint32_t *pulParentKeys, uint32_t ulKind, const LUM_DB_SLOT *pstValue,
                      uint32_t *pulNewInstance);
uint32_t LUM_DBSetObj(const uint32_t *pulKeys, uint32_t ulKind, const LUM_DB_SLOT *pstValue);
uint32_t LUM_DBSetPara(const uint32_t *pulKeys, uint32_t ulParaId, uint32_t ulNumber);
uint32_t LUM_DBDelObj(const uint32_t *pulKeys, uint32_t ulKind);
uint32_t LUM_DBObjMove(const uint32_t *pulKeys, uint32_t ulKind, const uint32_t *pulNewParentKeys,
                       uint32_t *pulNewInstance);
uint32_t LUM_DBKeyListToDomain(const uint32_t *pulKeys, uint32_t ulKind, char *pcBuf,
                               uint32_t ulLen);
uint32_t LUM_DBSaveToAppFunc(const char *pcFile, uint32_t ulLine, const char *pcFunc);

void LUM_KEM_FreeObj(uint32_t ulKind, LUM_DB_SLOT *pstValue);
// The value keeps its own copy of the text.
uint32_t LUM_KEM_SetObjStrValue(uint32_t ulSlot, LUM_DB_SLOT *pstValue, const char *pcText);
