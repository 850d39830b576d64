#include "service/HelperLibrary.h"

#include "base/ModulePaths.h"
#include "protocol/TaskRecords.h"
#include "service/QxException.h"

#include <utility>

namespace qek {

const char* const HelperLibrary::kEntryPointNames[kEntryPointCount] = {
    "Pelkit_DeCrypt_sha256", "Pelkit_DeCrypt_rc4", "Pelkit_DeCrypt_Base64", "Pelkit_Utf2AscII",
    "Pelkit_UnzipFile",      "Pelkit_GetFileMd5",  "Pelkit_GetMd5",
};

namespace {

constexpr std::size_t kPathBufferSize = 260;

// A plain pointer, not an object with a destructor: unloading the module
// without a stop leaves the binding in place rather than releasing a library
// from inside the module's unload.
HelperLibrary* registeredBinding = nullptr;

} // namespace

HelperLibrary::HelperLibrary()
{
    char path[kPathBufferSize];
    // Only the library beside the executable will do: without that folder
    // there is no path to load it from.
    if (!GetExecutableDirectory(path, sizeof path) || !AppendIfFits(path, sizeof path, "Pelkit.dll")) {
        throw CQx_Exception(kResultHelperLibraryMissing, GetLastError());
    }

    module_.Reset(LoadLibraryA(path));
    if (!module_.IsValid()) {
        throw CQx_Exception(kResultHelperLibraryMissing, GetLastError());
    }
    for (std::size_t i = 0; i < kEntryPointCount; ++i) {
        entryPoints_[i] = GetProcAddress(module_.Get(), kEntryPointNames[i]);
    }
    for (std::size_t i = 0; i < kRequiredEntryPointCount; ++i) {
        if (entryPoints_[i] == nullptr) {
            // The error of the lookup, taken before the member releases the
            // library on the way out.
            throw CQx_Exception(kResultHelperLibraryMissing, GetLastError());
        }
    }
}

HelperLibrary::~HelperLibrary() = default;

void RegisterHelperLibrary(std::unique_ptr<HelperLibrary> binding)
{
    delete std::exchange(registeredBinding, binding.release());
}

std::unique_ptr<HelperLibrary> UnregisterHelperLibrary()
{
    return std::unique_ptr<HelperLibrary>(std::exchange(registeredBinding, nullptr));
}

const HelperLibrary* RegisteredHelperLibrary()
{
    return registeredBinding;
}

} // namespace qek
