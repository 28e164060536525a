// Host-side processes: create a process with an image path, run the calling
// thread inside it, and break its records to drive failure paths.
#pragma once
#include <ntddk.h>

// Creates a process running the image at a Win32 path ("C:\Tools\term.exe").
// Ids are unique multiples of 4. The process has a PEB whose
// ProcessParameters->ImagePathName holds the path, and a handle table.
PEPROCESS HkPsCreateProcess(PCWSTR win32ImagePath, PEPROCESS parent = nullptr);
// Terminates the process: closes its handles, takes it out of the id table
// (ZwOpenProcess no longer finds it). Its record goes with the last
// reference (open process handles keep it).
void HkPsDestroyProcess(PEPROCESS process);

PEPROCESS HkPsSystemProcess();
HANDLE HkPsProcessId(PEPROCESS process);
PPEB HkPsPeb(PEPROCESS process);
// The process's local DosDevices directory (see hk/ob.h). A process created
// here runs in a user's logon session: it gets the local directory of its
// parent's session, or of a new session when the system started it. Null
// for the system process, which uses \GLOBAL??.
PVOID HkPsDosDevicesDirectory(PEPROCESS process);
// The process's handle table (the object manager's per-process table); null
// for the system process (its handles live in the kernel table) and for a
// destroyed process.
struct HkHandleTable;
HkHandleTable* HkPsHandleTable(PEPROCESS process);
// The calling thread's current process (the system process by default).
PEPROCESS HkPsCurrentProcess();

// Runs the calling thread in process (null: the system process); returns the
// process it ran in before.
PEPROCESS HkPsAttachThread(PEPROCESS process);

class HkProcessContext {
public:
    explicit HkProcessContext(PEPROCESS process) : previous_(HkPsAttachThread(process)) {}
    ~HkProcessContext() { HkPsAttachThread(previous_); }
    HkProcessContext(const HkProcessContext&) = delete;
    HkProcessContext& operator=(const HkProcessContext&) = delete;

private:
    PEPROCESS previous_;
};

// Ways to break a process record so that readers of it fail. The PEB kinds
// touch only the PEB (what ProcessBasicInformation leads to); the image kinds
// touch the names ZwQueryInformationProcess returns and the PEB's copy.
enum HK_PS_MALFORMED {
    HkPsWellFormed,        // back to normal
    HkPsNullPeb,           // PebBaseAddress is null
    HkPsNullParameters,    // PEB->ProcessParameters is null
    HkPsNullImagePath,     // PEB ImagePathName.Buffer is null, Length not 0
    HkPsGarbageImageLength,// PEB ImagePathName.Length is odd and beyond MaximumLength
    HkPsNoImage,           // empty image names (Length 0), as for the system process
    HkPsQueryFails,        // every ZwQueryInformationProcess on it fails (STATUS_ACCESS_DENIED)
};
void HkPsSetMalformed(PEPROCESS process, HK_PS_MALFORMED kind);

// A shaped answer to the image-name queries of one process, so a test can
// give a reader every answer the platform might: a buffer smaller than
// Needed, or with no room after the header, gets SizeStatus and Needed in
// ReturnLength; any other gets a UNICODE_STRING of Length whose Buffer is
// TextOffset bytes into the block (the image path, repeated, where it falls
// inside the block) and FillStatus.
struct HK_PS_IMAGE_ANSWER {
    NTSTATUS SizeStatus;
    ULONG Needed;
    NTSTATUS FillStatus;
    LONG TextOffset;
    USHORT Length;
};
// Null gives the true answers back.
void HkPsShapeImageAnswer(PEPROCESS process, const HK_PS_IMAGE_ANSWER* answer);

// Destroys every process but the system process.
void HkPsReset();
