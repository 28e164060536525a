// Object manager: object types, object headers, reference counting.
#include <stdlib.h>

#include <new>
#include <unordered_set>

#include "hk/reset.h"
#include "hk/verifier.h"
#include "ob/ob_internal.h"

namespace hkob {
namespace {

std::mutex& LiveLock() {
    static std::mutex lock;
    return lock;
}

std::unordered_set<ObjectHeader*>& LiveObjects() {
    static auto* set = new std::unordered_set<ObjectHeader*>;
    return *set;
}

void FreeHeader(ObjectHeader* header) {
    header->Magic = kDeadMagic;
    header->~ObjectHeader();
    free(header);
}

void DeleteObject(ObjectHeader* header) {
    PVOID body = header->Body();
    {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        header->Deleting = true;
        if (header->Directory) {
            HkVerifierStop(HkViolation::Other, "object %s of type %s lost its last reference while named",
                           Utf8(HkObGetName(body)).c_str(), header->Type->Name.c_str());
            return;
        }
    }
    if (header->Type->Delete) {
        header->Type->Delete(body);
    }
    {
        std::lock_guard<std::mutex> guard(LiveLock());
        LiveObjects().erase(header);
    }
    FreeHeader(header);
}

}  // namespace

ObjectHeader* HeaderOf(PVOID body, const char* caller) {
    if (!body) {
        HkVerifierStop(HkViolation::Other, "%s: null object", caller);
        return nullptr;
    }
    ObjectHeader* header = HeaderNoCheck(body);
    if (header->Magic != kHeaderMagic) {
        HkVerifierStop(HkViolation::Other, "%s: %p is not a live object", caller, body);
        return nullptr;
    }
    return header;
}

void ResetObjects() {
    std::vector<ObjectHeader*> all;
    {
        std::lock_guard<std::mutex> guard(LiveLock());
        all.assign(LiveObjects().begin(), LiveObjects().end());
        LiveObjects().clear();
    }
    for (ObjectHeader* header : all) {
        if (header->Type == HkObDirectoryType()) {
            static_cast<Directory*>(header->Body())->~Directory();
        } else if (header->Type == HkObSymbolicLinkType()) {
            static_cast<SymbolicLink*>(header->Body())->~SymbolicLink();
        }
        FreeHeader(header);
    }
}

}  // namespace hkob

using namespace hkob;

POBJECT_TYPE HkObCreateType(const char* name, HkObDeleteProcedure deleteProcedure,
                            HkObCloseProcedure closeProcedure) {
    auto* type = new _OBJECT_TYPE;
    type->Name = name ? name : "";
    type->Delete = deleteProcedure;
    type->Close = closeProcedure;
    return type;
}

const char* HkObTypeName(POBJECT_TYPE type) {
    return type ? type->Name.c_str() : "";
}

POBJECT_TYPE HkObGetObjectType(PVOID body) {
    ObjectHeader* header = HeaderOf(body, "HkObGetObjectType");
    return header ? header->Type : nullptr;
}

NTSTATUS HkObCreateObject(POBJECT_TYPE type, ULONG bodySize, PVOID* body) {
    if (!type || !body) {
        return STATUS_INVALID_PARAMETER;
    }
    EnsureNamespace();
    return CreateObject(type, bodySize, body);
}

NTSTATUS hkob::CreateObject(POBJECT_TYPE type, ULONG bodySize, PVOID* body) {
    void* memory = calloc(1, sizeof(ObjectHeader) + bodySize);
    if (!memory) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* header = new (memory) ObjectHeader;
    header->Type = type;
    header->BodySize = bodySize;
    {
        std::lock_guard<std::mutex> guard(LiveLock());
        LiveObjects().insert(header);
    }
    *body = header->Body();
    return STATUS_SUCCESS;
}

LONG_PTR HkObPointerCount(PVOID body) {
    ObjectHeader* header = HeaderOf(body, "HkObPointerCount");
    return header ? header->PointerCount.load() : 0;
}

LONG_PTR HkObHandleCount(PVOID body) {
    ObjectHeader* header = HeaderOf(body, "HkObHandleCount");
    return header ? header->HandleCount.load() : 0;
}

size_t HkObLiveObjects(POBJECT_TYPE type) {
    std::lock_guard<std::mutex> guard(LiveLock());
    if (!type) {
        return LiveObjects().size();
    }
    size_t count = 0;
    for (ObjectHeader* header : LiveObjects()) {
        count += header->Type == type;
    }
    return count;
}

LONG_PTR ObfReferenceObject(PVOID Object) {
    ObjectHeader* header = HeaderOf(Object, "ObfReferenceObject");
    if (!header) {
        return 0;
    }
    LONG_PTR count = ++header->PointerCount;
    if (count <= 1) {
        HkVerifierStop(HkViolation::Other, "ObfReferenceObject: object %p of type %s was already dead", Object,
                       header->Type->Name.c_str());
    }
    return count;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    ObjectHeader* header = HeaderOf(Object, "ObfDereferenceObject");
    if (!header) {
        return 0;
    }
    LONG_PTR count = --header->PointerCount;
    if (count < 0) {
        HkVerifierStop(HkViolation::Other, "ObfDereferenceObject: reference count of %p (%s) below zero", Object,
                       header->Type->Name.c_str());
        return 0;
    }
    if (count == 0) {
        DeleteObject(header);
    }
    return count;
}

NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                    KPROCESSOR_MODE AccessMode) {
    ObjectHeader* header = HeaderOf(Object, "ObReferenceObjectByPointer");
    if (!header) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectType && header->Type != ObjectType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ObfReferenceObject(Object);
    return STATUS_SUCCESS;
}
