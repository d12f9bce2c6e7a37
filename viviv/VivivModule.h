// Entry points of the NIfTI export module and its configurator.
#pragma once

#include <string>

#include "duvhost/Pipeline.h"
#include "duvhost/Rudu.h"

extern "C" {
// The module object "Viviv", created at the first call.
Rudu::Module* VivivModule();
// A new object of a registered type ("Viviv_NS_qomNiftiWriter",
// "Viviv_NS_qomDuvPrgB0Configurator"), or null.
Rudu::Component* Viviv__CreateObject(const char* typeName);
// Hands the host the configurator factory.
ProtocolComposer::IComposer* Viviv_createProtocolComposer(const char* name, double version);
}

// Saves the measurement protocol as text and splices the NIfTI writer into
// the pipeline behind the host's image-finishing stage, alone in a pipe
// service of its own with one pool thread.
class Viviv_NS_qomDuvPrgB0Configurator : public ProtocolComposer::IComposer, public MrIProtocolComposer {
public:
    static const Rudu::Type* TypeOf();
    const Rudu::Type* GetType() const override { return TypeOf(); }

    DuvStatus Compose(ProtocolComposer::Toolbox& toolbox) override;
};

namespace viviv {
// Where the configurator writes the protocol (relative to the working
// directory) and the absolute name of the same file that the writer is told
// to read; the fallback when the first cannot be opened.
struct ProtocolExportNames {
    std::string exportName;
    std::string readName;
};
ProtocolExportNames protocolExportNames();
ProtocolExportNames protocolFallbackNames();
}  // namespace viviv
