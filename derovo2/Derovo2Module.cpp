// Entry points of the spectroscopy module: the three exported functions, the
// object factory table and the type records of the two creatable types.
#include <atomic>
#include <memory>

#include "Derovo2.h"
#include "Derovo2Configurator.h"
#include "duvhost/Functors.h"
#include "duvhost/Pipeline.h"
#include "duvhost/Rudu.h"

extern "C" {
Rudu::Module* Derovo2Module();
Rudu::Component* Derovo2__CreateObject(const char* typeName);
ProtocolComposer::IComposer* Derovo2_createProtocolComposer(const char* name, double d);
}

namespace {

// The host asks for a performance map with every creation; this module has none.
void* Derovo2PerformanceMap(void*) { return nullptr; }

const Rudu::FactoryEntry kFactoryTable[] = {
    {"Derovo2", &Derovo2::TypeOf, &Rudu::HeapObject<Derovo2>::CreateComponent},
    {"Derovo2Configurator", &Derovo2Configurator::TypeOf, &Rudu::HeapObject<Derovo2Configurator>::CreateComponent},
    {nullptr, nullptr, nullptr},
};

// Holds the module lock for one scope.
class ModuleLock {
public:
    explicit ModuleLock(Rudu::Module* m) : m_(m) { m_->Lock(); }
    ~ModuleLock() { m_->Unlock(); }
    ModuleLock(const ModuleLock&) = delete;
    ModuleLock& operator=(const ModuleLock&) = delete;

private:
    Rudu::Module* m_;
};

// A type record is built on first use, under the host's global guard and the
// module lock, and lives until the library is unloaded. Later calls read the
// published pointer without locking.
struct TypeRecordSlot {
    std::atomic<const Rudu::Type*> published{nullptr};
    std::unique_ptr<const Rudu::Type> owned;
};

template <class Build>
const Rudu::Type* OnceTypeRecord(TypeRecordSlot& slot, Build build)
{
    if (const Rudu::Type* t = slot.published.load(std::memory_order_acquire)) return t;
    Rudu::GlobalGuard guard;
    ModuleLock lock(Derovo2Module());
    if (!slot.owned) {
        slot.owned = build();
        slot.published.store(slot.owned.get(), std::memory_order_release);
    }
    return slot.owned.get();
}

TypeRecordSlot g_derovo2Type;
TypeRecordSlot g_configuratorType;

}  // namespace

extern "C" Rudu::Module* Derovo2Module()
{
    // Initialised once, safe against concurrent first calls; destroyed with
    // the library's static objects when it is unloaded.
    static Rudu::Module module("Derovo2");
    return &module;
}

extern "C" Rudu::Component* Derovo2__CreateObject(const char* typeName)
{
    ModuleLock lock(Derovo2Module());  // released also when creation throws
    return Derovo2Module()->CreateInstance(typeName, kFactoryTable, &Derovo2PerformanceMap);
}

extern "C" ProtocolComposer::IComposer* Derovo2_createProtocolComposer(const char* name, double d)
{
    return Rudu::CreateProtocolComposer(&Derovo2__CreateObject, name, d);
}

const Rudu::Type* Derovo2::TypeOf()
{
    return OnceTypeRecord(g_derovo2Type, [] {
        return std::make_unique<const Rudu::Type>(
            "Derovo2", std::vector<const Rudu::Type*>{IFunctor::TypeOf()},
            std::vector<Rudu::MethodDescriptor>{Rudu::MakeMethod("ComputeScan", &Derovo2::ComputeScan)},
            std::vector<Rudu::EventDescriptor>{Rudu::MakeEvent("ScanReady", &Derovo2::ScanReady)},
            GetProperties());
    });
}

const Rudu::Type* Derovo2Configurator::TypeOf()
{
    return OnceTypeRecord(g_configuratorType, [] {
        return std::make_unique<const Rudu::Type>("Derovo2Configurator", std::vector<const Rudu::Type*>{},
                                                  std::vector<Rudu::MethodDescriptor>{},
                                                  std::vector<Rudu::EventDescriptor>{},
                                                  std::vector<Rudu::PropertyDescriptor>{});
    });
}
