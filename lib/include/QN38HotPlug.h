// QN38HotPlug: the hot-plug library of the QN38EX ExpressCard adapter.
//
// The tray tool calls the three read-only queries; the service calls the
// operations that change the system. Every export returns an int, 0 meaning
// failure or "no"; none keeps state between calls, throws, or sets an error
// code of its own.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
using ZQ_CHAR = wchar_t;
#define ZQ_TEXT(s) L##s
#else
// The portable core is built natively too, where wchar_t is 32 bits wide;
// UTF-16 text there is char16_t.
using ZQ_CHAR = char16_t;
#define ZQ_TEXT(s) u##s
#endif

// How the library recognises the adapter's devices.
inline constexpr const ZQ_CHAR* HWID_ADAPTER_FUNCTION = ZQ_TEXT("PCI\\VEN_1217&DEV_02EB&SUBSYS_3A5C0E71");
inline constexpr const ZQ_CHAR* HWID_SLOT_BRIDGE = ZQ_TEXT("PCI\\VEN_1217&DEV_02E3");
inline constexpr const ZQ_CHAR* COMPATID_PCI_BRIDGE = ZQ_TEXT("PCI\\CC_060400");
inline constexpr const ZQ_CHAR* FILTER_NAME = ZQ_TEXT("QN38UP");
inline constexpr const ZQ_CHAR* DUMP_DEVICE_PATH = ZQ_TEXT("\\\\.\\ZQDUMP");
inline constexpr const ZQ_CHAR* PCI_ENUMERATOR = ZQ_TEXT("PCI");
inline constexpr std::uint32_t SLOT_BRIDGE_ID = 0x02E31217;
inline constexpr std::uint32_t ADAPTER_SUBSYSTEM_ID = 0x3A5C0E71;

// The filter driver's service key, holding the memory-window setting.
inline constexpr const ZQ_CHAR* DRIVER_KEY_PATH = ZQ_TEXT("SYSTEM\\CurrentControlSet\\Services\\QN38UP");

// Units of the working buffer in which a filter list is edited.
inline constexpr std::uint32_t FILTER_LIST_CAPACITY = 260;

// The diagnostic log.
inline constexpr const ZQ_CHAR* LOG_FILE_NAME = ZQ_TEXT("QN38.LOG");
inline constexpr char LOG_MARKER[8] = {'Q', 'N', '3', '8', 'L', 'O', 'G', '\0'};
inline constexpr std::uint32_t LOG_SLOT_SIZE = 200;
inline constexpr std::uint32_t LOG_SLOT_COUNT = 5000;

#if defined(_WIN32)

#if defined(QN38HOTPLUG_BUILDING)
#define QN38HOTPLUG_API __declspec(dllexport)
#else
#define QN38HOTPLUG_API __declspec(dllimport)
#endif

// Bus numbers, offsets and option bytes travel as full integers of which only
// the low 8 bits are used.
extern "C" {
QN38HOTPLUG_API int ZQ_GetStatus(std::uint32_t bus, std::uint32_t* present);
QN38HOTPLUG_API int ZQ_GetCardInfo(std::uint32_t bus, wchar_t* description, std::uint32_t descriptionBytes,
                                   std::uint32_t* status, std::uint32_t* problem);
QN38HOTPLUG_API int ZQ_DoesExistNoFilterRootPort();
QN38HOTPLUG_API int ZQ_SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                                 std::uint32_t checkDisks);
// ZQ_SetStatus that also says who refused a stop, where Windows named
// someone: the PNP_VETO_TYPE, the veto's name, and the holder as the user
// knows it (see VetoHolder); each text cut to fit its buffer, terminated.
// With no veto the type is 0 and both texts are empty.
QN38HOTPLUG_API int ZQ_SetStatusWithVeto(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                                         std::uint32_t checkDisks, std::uint32_t* vetoType, wchar_t* vetoName,
                                         std::uint32_t vetoNameBytes, wchar_t* holder, std::uint32_t holderBytes);
QN38HOTPLUG_API int ZQ_ReadPCI(std::uint32_t bus, std::uint32_t offset, std::uint32_t* value);
QN38HOTPLUG_API int ZQ_WritePCI(std::uint32_t bus, std::uint32_t offset, std::uint32_t value);
QN38HOTPLUG_API int ZQ_AddFilter();
QN38HOTPLUG_API int ZQ_DelFilter();
QN38HOTPLUG_API int ZQ_SetSize(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs);
QN38HOTPLUG_API int ZQ_WriteLog(const char* title);
QN38HOTPLUG_API int GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* device, std::uint32_t property,
                                              const void* match, void* buffer, std::uint32_t bufferBytes);
QN38HOTPLUG_API int GetDevNodeRegistryProperty(DEVINST devnode, std::uint32_t property, const void* match, void* buffer,
                                               std::uint32_t bufferBytes);
}

// Exported with C++ linkage: callers find it under the compiler's decorated
// name for int(const wchar_t*).
QN38HOTPLUG_API int WriteLogFile(const wchar_t* text);

#endif
