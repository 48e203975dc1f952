#include "platform/OleControl.h"

#include "platform/Exceptions.h"
#include "platform/ModuleState.h"

namespace platform {
namespace {

std::atomic<long> moduleLocks{0};

bool namesMatch(const char* ascii, const OLECHAR* name) {
    auto lower = [](char32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    std::size_t i = 0;
    for (; ascii[i] != 0; ++i) {
        if (name[i] == 0 || lower(static_cast<unsigned char>(ascii[i])) != lower(name[i])) return false;
    }
    return name[i] == 0;
}

}  // namespace

void lockModule() { ++moduleLocks; }
void unlockModule() { --moduleLocks; }
long moduleLockCount() { return moduleLocks.load(); }

COleControl::COleControl(std::span<const DispatchEntry> table) : table_(table) { lockModule(); }

COleControl::~COleControl() { unlockModule(); }

void COleControl::InitializeIIDs(const IID* dispatch, const IID* events) {
    dispatchIid_ = dispatch;
    eventsIid_ = events;
}

IUnknown* COleControl::queryExtraInterface(REFIID) { return nullptr; }

bool COleControl::IsInvokeAllowed(DISPID) { return true; }

HRESULT COleControl::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    IUnknown* found = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || (dispatchIid_ != nullptr && iid == *dispatchIid_)) {
        found = this;
    } else {
        found = queryExtraInterface(iid);
    }
    if (found == nullptr) return E_NOINTERFACE;
    found->AddRef();
    *object = found;
    return S_OK;
}

ULONG COleControl::AddRef() { return ++references_; }

ULONG COleControl::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

HRESULT COleControl::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT COleControl::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info != nullptr) *info = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT COleControl::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    AFX_MANAGE_STATE_STATIC();
    if (names == nullptr || ids == nullptr) return E_POINTER;
    if (count == 0) return S_OK;
    HRESULT hr = S_OK;
    ids[0] = DISPID_UNKNOWN;
    for (const DispatchEntry& entry : table_) {
        if (names[0] != nullptr && namesMatch(entry.name, names[0])) ids[0] = entry.id;
    }
    if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    // Members take no arguments, so no argument name can be known.
    for (UINT i = 1; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT COleControl::Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                            VARIANT* result, EXCEPINFO* exception, UINT*) {
    AFX_MANAGE_STATE_STATIC();
    const DispatchEntry* entry = nullptr;
    for (const DispatchEntry& candidate : table_) {
        if (candidate.id == member) entry = &candidate;
    }
    if (entry == nullptr || (flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
    if (params != nullptr && (params->cArgs != 0 || params->cNamedArgs != 0)) return DISP_E_BADPARAMCOUNT;
    if (!IsInvokeAllowed(member)) return E_FAIL;
    HRESULT failure = S_OK;
    try {
        entry->call(*this, result);
        return S_OK;
    } catch (const CMemoryException&) {
        failure = E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        failure = E_OUTOFMEMORY;
    } catch (...) {
        failure = E_FAIL;
    }
    if (exception != nullptr) {
        *exception = EXCEPINFO{};
        exception->scode = failure;
    }
    return DISP_E_EXCEPTION;
}

}  // namespace platform
