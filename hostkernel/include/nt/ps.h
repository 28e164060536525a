// Process structure DDIs: the current process, process handles and the
// information a driver may ask about a process.
#pragma once
#include "nt/ntdef.h"
#include "nt/ob.h"

// Opaque process objects. Repeating these typedefs elsewhere is harmless.
struct _EPROCESS;
typedef struct _EPROCESS* PEPROCESS;
typedef struct _EPROCESS* PKPROCESS;
struct _OBJECT_ATTRIBUTES;
typedef struct _OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;
struct _CLIENT_ID;
typedef struct _CLIENT_ID* PCLIENT_ID;

// Process access rights.
#define PROCESS_TERMINATE (0x0001)
#define PROCESS_CREATE_THREAD (0x0002)
#define PROCESS_VM_OPERATION (0x0008)
#define PROCESS_VM_READ (0x0010)
#define PROCESS_VM_WRITE (0x0020)
#define PROCESS_DUP_HANDLE (0x0040)
#define PROCESS_CREATE_PROCESS (0x0080)
#define PROCESS_SET_QUOTA (0x0100)
#define PROCESS_SET_INFORMATION (0x0200)
#define PROCESS_QUERY_INFORMATION (0x0400)
#define PROCESS_SUSPEND_RESUME (0x0800)
#define PROCESS_QUERY_LIMITED_INFORMATION (0x1000)
#define PROCESS_ALL_ACCESS (0x000F0000L | 0x00100000L | 0xFFFF)

#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()

typedef enum _PROCESSINFOCLASS {
    ProcessBasicInformation,
    ProcessQuotaLimits,
    ProcessIoCounters,
    ProcessVmCounters,
    ProcessTimes,
    ProcessBasePriority,
    ProcessRaisePriority,
    ProcessDebugPort,
    ProcessExceptionPort,
    ProcessAccessToken,
    ProcessLdtInformation,
    ProcessLdtSize,
    ProcessDefaultHardErrorMode,
    ProcessIoPortHandlers,
    ProcessPooledUsageAndLimits,
    ProcessWorkingSetWatch,
    ProcessUserModeIOPL,
    ProcessEnableAlignmentFaultFixup,
    ProcessPriorityClass,
    ProcessWx86Information,
    ProcessHandleCount,
    ProcessAffinityMask,
    ProcessPriorityBoost,
    ProcessDeviceMap,
    ProcessSessionInformation,
    ProcessForegroundInformation,
    ProcessWow64Information,
    ProcessImageFileName,
    ProcessLUIDDeviceMapsEnabled,
    ProcessBreakOnTermination,
    ProcessDebugObjectHandle,
    ProcessDebugFlags,
    ProcessHandleTracing,
    ProcessIoPriority,
    ProcessExecuteFlags,
    ProcessTlsInformation,
    ProcessCookie,
    ProcessImageInformation,
    ProcessCycleTime,
    ProcessPagePriority,
    ProcessInstrumentationCallback,
    ProcessThreadStackAllocation,
    ProcessWorkingSetWatchEx,
    ProcessImageFileNameWin32,
    ProcessImageFileMapping,
    ProcessAffinityUpdateMode,
    ProcessMemoryAllocationMode,
    ProcessGroupInformation,
    ProcessTokenVirtualizationEnabled,
    ProcessConsoleHostProcess,
    ProcessWindowInformation,
    MaxProcessInfoClass
} PROCESSINFOCLASS;
static_assert(ProcessImageFileName == 27 && ProcessImageFileNameWin32 == 43, "process information classes");

// Process parameters and PEB, x64 layouts (only the leading fields).
typedef struct _CURDIR {
    UNICODE_STRING DosPath;
    HANDLE Handle;
} CURDIR, *PCURDIR;

typedef struct _RTL_USER_PROCESS_PARAMETERS {
    ULONG MaximumLength;
    ULONG Length;
    ULONG Flags;
    ULONG DebugFlags;
    HANDLE ConsoleHandle;
    ULONG ConsoleFlags;
    HANDLE StandardInput;
    HANDLE StandardOutput;
    HANDLE StandardError;
    CURDIR CurrentDirectory;
    UNICODE_STRING DllPath;
    UNICODE_STRING ImagePathName;
    UNICODE_STRING CommandLine;
    PVOID Environment;
} RTL_USER_PROCESS_PARAMETERS, *PRTL_USER_PROCESS_PARAMETERS;
static_assert(offsetof(RTL_USER_PROCESS_PARAMETERS, ImagePathName) == 0x60, "process parameters layout");
static_assert(offsetof(RTL_USER_PROCESS_PARAMETERS, CommandLine) == 0x70, "process parameters layout");

typedef struct _PEB {
    BOOLEAN InheritedAddressSpace;
    BOOLEAN ReadImageFileExecOptions;
    BOOLEAN BeingDebugged;
    UCHAR BitField;
    HANDLE Mutant;
    PVOID ImageBaseAddress;
    PVOID Ldr;
    PRTL_USER_PROCESS_PARAMETERS ProcessParameters;
    PVOID SubSystemData;
    PVOID ProcessHeap;
} PEB, *PPEB;
static_assert(offsetof(PEB, ProcessParameters) == 0x20, "PEB layout");

typedef struct _PROCESS_BASIC_INFORMATION {
    NTSTATUS ExitStatus;
    PPEB PebBaseAddress;
    ULONG_PTR AffinityMask;
    KPRIORITY BasePriority;
    ULONG_PTR UniqueProcessId;
    ULONG_PTR InheritedFromUniqueProcessId;
} PROCESS_BASIC_INFORMATION, *PPROCESS_BASIC_INFORMATION;
static_assert(sizeof(PROCESS_BASIC_INFORMATION) == 48, "PROCESS_BASIC_INFORMATION layout");
static_assert(offsetof(PROCESS_BASIC_INFORMATION, UniqueProcessId) == 32, "PROCESS_BASIC_INFORMATION layout");

// The process object type, for ObReferenceObjectByHandle.
extern POBJECT_TYPE* PsProcessType;

HANDLE PsGetCurrentProcessId(void);
PEPROCESS IoGetCurrentProcess(void);
#define PsGetCurrentProcess IoGetCurrentProcess
HANDLE PsGetProcessId(PEPROCESS Process);

// ProcessImageFileName and ProcessImageFileNameWin32 return a UNICODE_STRING
// followed by its characters; a short buffer gives
// STATUS_INFO_LENGTH_MISMATCH with the needed size in ReturnLength.
NTSTATUS ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                   PVOID ProcessInformation, ULONG ProcessInformationLength,
                                   PULONG ReturnLength);
NTSTATUS ZwOpenProcess(PHANDLE ProcessHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                       PCLIENT_ID ClientId);
