#include "platform/ObjectFactory.h"

#include "platform/Exceptions.h"
#include "platform/OleControl.h"

namespace platform {
namespace {

struct FactoryList {
    COleObjectFactory* first = nullptr;
    COleObjectFactory* last = nullptr;
};

FactoryList& factories() {
    static FactoryList list;
    return list;
}

}  // namespace

COleObjectFactory::COleObjectFactory(const CLSID& clsid, Creator create, bool multiInstance,
                                     const char* progId)
    : clsid_(clsid), create_(create), multiInstance_(multiInstance), progId_(progId) {
    FactoryList& list = factories();
    if (list.last != nullptr) list.last->next_ = this;
    else list.first = this;
    list.last = this;
}

COleObjectFactory::~COleObjectFactory() {
    FactoryList& list = factories();
    COleObjectFactory* previous = nullptr;
    for (COleObjectFactory* f = list.first; f != nullptr; previous = f, f = f->next_) {
        if (f != this) continue;
        (previous != nullptr ? previous->next_ : list.first) = next_;
        if (list.last == this) list.last = previous;
        break;
    }
}

bool COleObjectFactory::UpdateRegistry(bool) { return true; }

bool COleObjectFactory::UpdateRegistryAll(bool registering) {
    bool allDone = true;
    for (COleObjectFactory* f = factories().first; f != nullptr; f = f->next()) {
        if (!f->UpdateRegistry(registering)) allDone = false;
    }
    return allDone;
}

HRESULT COleObjectFactory::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
}

ULONG COleObjectFactory::AddRef() {
    lockModule();
    return ++references_;
}

ULONG COleObjectFactory::Release() {
    unlockModule();
    return --references_;
}

HRESULT COleObjectFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    IUnknown* created = nullptr;
    const CaughtFailure failure = runGuarded([&] { created = create_(); });
    if (failure == CaughtFailure::Memory) return E_OUTOFMEMORY;
    if (failure != CaughtFailure::None || created == nullptr) return E_FAIL;
    const HRESULT hr = created->QueryInterface(iid, object);
    created->Release();
    return hr;
}

HRESULT COleObjectFactory::LockServer(BOOL lock) {
    if (lock != 0) lockModule();
    else unlockModule();
    return S_OK;
}

HRESULT AfxDllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    for (COleObjectFactory* f = factories().first; f != nullptr; f = f->next()) {
        if (f->classId() == clsid) return f->QueryInterface(iid, object);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT AfxDllCanUnloadNow() { return moduleLockCount() == 0 ? S_OK : S_FALSE; }

}  // namespace platform
