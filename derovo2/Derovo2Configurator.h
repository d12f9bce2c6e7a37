// Pipeline composition of the spectroscopy module: puts one Derovo2 stage
// right behind the host's root stage and, with prescan normalisation, hands
// it the identifier of the sensitivity-map measurement.
#pragma once

#include "duvhost/Pipeline.h"
#include "duvhost/Rudu.h"

class Derovo2Configurator : public Rudu::Component, public ProtocolComposer::IComposer {
public:
    static const Rudu::Type* TypeOf();
    const Rudu::Type* GetType() const override { return TypeOf(); }

    // I_OK whenever it returns; protocol-tree and toolbox failures leave as
    // their exceptions.
    DuvStatus Compose(ProtocolComposer::Toolbox& toolbox) override;
};
