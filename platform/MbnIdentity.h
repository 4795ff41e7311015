// Which device service a COM object is. The device-services events pass "the
// object on which the operation was requested", which a proxy or a tear-off may
// pass through another pointer than the caller's, or as another object for the
// same service: only the object's COM identity (its IUnknown) or its interface
// and service ids tie it to a request.
#pragma once

#include "Handles.h"
#include "Mbn.h"

#include <wrl/client.h>

#include <string>

// The object's IUnknown, the one pointer COM keeps the same for one object; null for null.
inline Microsoft::WRL::ComPtr<IUnknown> MbnIdentityOf(IUnknown* object) {
    Microsoft::WRL::ComPtr<IUnknown> identity;
    if (object) object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.GetAddressOf()));
    return identity;
}

// The interface and service ids of a device service; both empty when the object does not tell.
struct MbnServiceIds {
    std::wstring interfaceId;
    std::wstring serviceId;

    // The same service of the same interface. Ids that were not told match nothing,
    // not even each other: two objects that say nothing are not known to be one service.
    bool SameAs(const MbnServiceIds& other) const {
        return !interfaceId.empty() && !serviceId.empty() &&
               ::lstrcmpiW(interfaceId.c_str(), other.interfaceId.c_str()) == 0 &&
               ::lstrcmpiW(serviceId.c_str(), other.serviceId.c_str()) == 0;
    }

    static MbnServiceIds Of(IMbnDeviceService* service) {
        MbnServiceIds ids;
        CUniqueBstr interfaceId;
        CUniqueBstr serviceId;
        if (!service || FAILED(service->get_InterfaceID(interfaceId.Put())) || !interfaceId ||
            FAILED(service->get_DeviceServiceID(serviceId.Put())) || !serviceId)
            return ids;
        ids.interfaceId = interfaceId.Get();
        ids.serviceId = serviceId.Get();
        return ids;
    }
    // Any object: the ids of the device service it is, if it is one.
    static MbnServiceIds Of(IUnknown* object) {
        Microsoft::WRL::ComPtr<IMbnDeviceService> service;
        if (!object ||
            FAILED(object->QueryInterface(IID_IMbnDeviceService, reinterpret_cast<void**>(service.GetAddressOf()))))
            return MbnServiceIds();
        return Of(service.Get());
    }
};
