// Derovo2Configurator::Compose (type record in Derovo2Module.cpp).
#include "Derovo2Configurator.h"

#include <string>

#include "Derovo2Trace.h"
#include "duvhost/XProtocol.h"

namespace {
constexpr const char* kFunction = "Compose";
// Identifier the simulator's measurements stand in for a prescan with.
constexpr const char* kDummyPreScanId = "111111_0000005555";
}  // namespace

DuvStatus Derovo2Configurator::Compose(ProtocolComposer::Toolbox& toolbox)
{
    toolbox.Init("OLTA");
    XProtocol& prot = toolbox.Protocol();

    MrFunctor root = toolbox.FindFunctor("root", true);
    MrPipeService service = toolbox.FindPipeService(root.PipeServiceName(), true);
    MrFunctor stage =
        service.CreateConnectFunctor(root, "ScanReady", "Derovo2Instance", "Derovo2@Derovo2", "ComputeScan", true);

    const bool bIsPreScanNormalize = prot["MEAS.sPreScanNormalizeFilter.ucOn"].ToBool();
    D2_NOTICE(kFunction) << "==>bIsPreScanNormalize: " << (bIsPreScanNormalize ? 1 : 0);

    if (bIsPreScanNormalize) {
        const long dataFromSource = prot["CONFIG.COMMON.SIMULATION.DATA_FROM_SOURCE"].ToLong();
        D2_NOTICE(kFunction) << "==>prot[CONFIG.COMMON.SIMULATION.DATA_FROM_SOURCE].ToLong() = integer: "
                             << dataFromSource;
        const bool bIsSimulation = dataFromSource == 2;
        D2_NOTICE(kFunction) << "==>bIsSimulation: " << (bIsSimulation ? 1 : 0);

        std::string strSensMapUID;  // the protocol's text, when it was read
        std::string strSensMapID;   // what the stage receives
        if (bIsSimulation) {
            D2_NOTICE(kFunction) << "Simu-Mode: Hence use dummy PreScanID " << kDummyPreScanId;
            strSensMapID = kDummyPreScanId;
        } else {
            ReadonlyXNode node = prot.At("YAPS.lSensMapUID", false);
            if (node.IsOk()) {
                strSensMapUID = node.ToString();
                strSensMapID = strSensMapUID;
            } else {
                // A real measurement without a prescan identifier gets no
                // identifier at all: handing it the simulator's dummy would
                // name a prescan that does not exist.
                D2_NOTICE(kFunction) << "Cannot read property 'YAPS.lSensMapUID'. NOT Using dummy PreScanID "
                                     << kDummyPreScanId;
            }
        }
        D2_NOTICE(kFunction) << "==>prot[YAPS.lSensMapUID].ToString(): " << strSensMapUID;
        D2_NOTICE(kFunction) << "==>strSensMapID: " << strSensMapID;

        stage.At("SensMapName", false).FromString(strSensMapID);
    }

    D2_NOTICE(kFunction) << "Derovo2 chain successfully built!";
    return I_OK;
}
