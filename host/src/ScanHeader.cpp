// Scan header proxy and the per-image control.
#include <ostream>

#include "duvhost/Headers.h"

// ---------------------------------------------------------------------------
// MdhProxy: either owns its header (own_) or views one owned elsewhere. A
// copy always owns a copy of the header, so that a stage that keeps a copy
// beyond the call does not depend on the host's buffer.
// ---------------------------------------------------------------------------

MdhProxy::MdhProxy() : h_(&own_) {}

MdhProxy::MdhProxy(sScanHeader* h) : h_(h ? h : &own_) {}

MdhProxy::MdhProxy(const MdhProxy& o) : own_(*o.h_), h_(&own_) {}

MdhProxy& MdhProxy::operator=(const MdhProxy& o) {
    if (this != &o) {
        own_ = *o.h_;
        h_ = &own_;
    }
    return *this;
}

uint64_t MdhProxy::getEvalInfoMask() const {
    return uint64_t(h_->aulEvalInfoMask[0]) | (uint64_t(h_->aulEvalInfoMask[1]) << 32);
}

void MdhProxy::setEvalInfoMask(uint64_t mask) {
    h_->aulEvalInfoMask[0] = uint32_t(mask & 0xFFFFFFFFu);
    h_->aulEvalInfoMask[1] = uint32_t(mask >> 32);
}

// ---------------------------------------------------------------------------
// ImageControl
// ---------------------------------------------------------------------------

ImageControl::ImageControl() {
    count_.fill(1);
    index_.fill(0);
}

std::ostream& operator<<(std::ostream& os, const ImageControl& ctrl) {
    os << "ImageControl columns " << ctrl.getColumns();
    for (int d = 0; d < DUV_DIM_COUNT; ++d)
        os << "\n  " << DuvDimName(DuvDim(d)) << ": count " << ctrl.getCount(DuvDim(d)) << ", index "
           << ctrl.getIndex(DuvDim(d));
    return os;
}
