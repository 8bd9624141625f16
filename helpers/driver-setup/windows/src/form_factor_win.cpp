#include <windows.h>

#include <mmdeviceapi.h>
#include <objbase.h>
#include <propidl.h>
#include <propsys.h>

#include "device_tree_win.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel::setup {

namespace {

// The identifiers spelled out here, so nothing depends on which GUIDs the import libraries
// happen to define.
constexpr CLSID MM_DEVICE_ENUMERATOR_CLSID = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr IID MM_DEVICE_ENUMERATOR_IID = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
constexpr PROPERTYKEY FORM_FACTOR_KEY = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 0};

template <class T>
void release(T*& object) {
    if (object) object->Release();
    object = nullptr;
}

// The multithreaded apartment for one read; left again only when it was entered.
class Apartment {
public:
    Apartment() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~Apartment() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;
    bool entered() const { return SUCCEEDED(hr_); }

private:
    HRESULT hr_;
};

std::optional<std::uint32_t> read_in_apartment(const std::wstring& id) {
    IMMDeviceEnumerator* enumerator = nullptr;
    IMMDevice* device = nullptr;
    IPropertyStore* store = nullptr;
    PROPVARIANT value;
    PropVariantInit(&value);
    std::optional<std::uint32_t> result;

    HRESULT hr = CoCreateInstance(MM_DEVICE_ENUMERATOR_CLSID, nullptr, CLSCTX_ALL, MM_DEVICE_ENUMERATOR_IID,
                                  reinterpret_cast<void**>(&enumerator));
    if (SUCCEEDED(hr) && enumerator) hr = enumerator->GetDevice(id.c_str(), &device);
    if (SUCCEEDED(hr) && enumerator && device) hr = device->OpenPropertyStore(STGM_READ, &store);
    if (SUCCEEDED(hr) && enumerator && device && store) {
        // The form factor is a VT_UI4 (read here directly: PropVariantToUInt32 would import
        // propsys.dll for this one read).
        hr = store->GetValue(FORM_FACTOR_KEY, &value);
        if (SUCCEEDED(hr) && value.vt == VT_UI4) result = static_cast<std::uint32_t>(value.ulVal);
    }

    PropVariantClear(&value);
    release(store);
    release(device);
    release(enumerator);
    return result;
}

}  // namespace

std::optional<std::uint32_t> read_endpoint_form_factor(std::string_view endpoint_id) {
    const std::wstring id = utf8_to_wide(endpoint_id);
    Apartment apartment;
    if (!apartment.entered()) return std::nullopt;
    return read_in_apartment(id);
}

}  // namespace tamsel::setup
