// One-time construction of the module's type records under the module lock.
#pragma once

#include <memory>
#include <utility>

#include "duvhost/Rudu.h"

namespace viviv {

// Holds the lock of the module object "Viviv" for its lifetime.
class ModuleLock {
public:
    ModuleLock();
    ~ModuleLock();
    ModuleLock(const ModuleLock&) = delete;
    ModuleLock& operator=(const ModuleLock&) = delete;
    Rudu::Module& module() { return module_; }

private:
    Rudu::Module& module_;
};

// Builds *slot with build() the first time (under the module lock) and
// returns it; later calls return the same object.
template <class T, class Build>
const T* buildOnce(std::unique_ptr<T>& slot, Build build) {
    ModuleLock lock;
    if (!slot) slot = build();
    return slot.get();
}

template <class Build>
const Rudu::Type* typeOnce(std::unique_ptr<Rudu::Type>& slot, Build build) {
    return buildOnce(slot, std::move(build));
}

}  // namespace viviv
