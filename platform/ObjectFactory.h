// Class factories: one static object per creatable class, listed module-wide
// in creation order. The module's class-object lookup and unload answer are
// built on that list.
#pragma once

#include <atomic>

#include "platform/Com.h"

namespace platform {

class COleObjectFactory : public IClassFactory {
public:
    // `create` returns a new object holding one reference, or throws.
    using Creator = IUnknown* (*)();

    COleObjectFactory(const CLSID& clsid, Creator create, bool multiInstance, const char* progId);
    virtual ~COleObjectFactory();
    COleObjectFactory(const COleObjectFactory&) = delete;
    COleObjectFactory& operator=(const COleObjectFactory&) = delete;

    // The registration hook: register the class when `registering`, remove it
    // otherwise. True on success.
    virtual bool UpdateRegistry(bool registering);

    // Asks every factory in creation order; false when any reported failure
    // (the others still run).
    static bool UpdateRegistryAll(bool registering);

    const CLSID& classId() const { return clsid_; }
    const char* progId() const { return progId_; }
    bool multiInstance() const { return multiInstance_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    // The next factory in creation order (null after the last).
    COleObjectFactory* next() const { return next_; }

private:
    CLSID clsid_;
    Creator create_;
    bool multiInstance_;
    const char* progId_;
    COleObjectFactory* next_ = nullptr;
    std::atomic<ULONG> references_{0};
};

// The framework's class-object lookup over the module's factories.
HRESULT AfxDllGetClassObject(REFCLSID clsid, REFIID iid, void** object);
// S_OK when no object, factory reference or server lock is outstanding.
HRESULT AfxDllCanUnloadNow();

}  // namespace platform
