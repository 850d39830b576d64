// The binding of the helper library Pelkit.dll: loaded from the host
// executable's directory at start, kept loaded while the service runs and
// released by the stop. Its entry points are looked up by name; none is called.
#pragma once

#include "base/Owners.h"

#include <windows.h>

#include <cstddef>
#include <memory>

namespace qek {

class HelperLibrary {
public:
    // The entry points, in lookup order; the first five are required.
    static constexpr std::size_t kEntryPointCount = 7;
    static constexpr std::size_t kRequiredEntryPointCount = 5;
    static const char* const kEntryPointNames[kEntryPointCount];

    // Loads "Pelkit.dll" from the host executable's directory and looks up
    // every entry point. Throws CQx_Exception(-300000, last system error) when
    // the library does not load or a required entry point is missing; the
    // library is released again before the throw.
    HelperLibrary();
    virtual ~HelperLibrary(); // releases the library (the member does)
    HelperLibrary(const HelperLibrary&) = delete;
    HelperLibrary& operator=(const HelperLibrary&) = delete;

    // The address of entry point `index` (see kEntryPointNames); null when an
    // optional one is absent.
    FARPROC EntryPoint(std::size_t index) const { return entryPoints_[index]; }

private:
    UniqueModule module_;
    FARPROC entryPoints_[kEntryPointCount] = {};
};

// The module's registered binding. The start registers the binding it made;
// the stop takes it back out and destroys it, so that nothing can reach a
// released binding. Only the entry points (called by the host, never by two
// threads at once) touch it.
void RegisterHelperLibrary(std::unique_ptr<HelperLibrary> binding);
std::unique_ptr<HelperLibrary> UnregisterHelperLibrary();
const HelperLibrary* RegisteredHelperLibrary();

} // namespace qek
