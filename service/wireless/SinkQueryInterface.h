// IUnknown of the Mobile Broadband event sinks: an interlocked count that
// starts at 0 (the creator's QueryInterface takes the first reference) and
// answers IID_IUnknown and the sink's own event interface.
#pragma once

#include <windows.h>
#include <unknwn.h>

// QueryInterface for a sink whose event interface is TInterface.
template <typename TInterface>
HRESULT SinkQueryInterface(TInterface* self, const IID& own, REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, own)) {
        *object = self;
        self->AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}
