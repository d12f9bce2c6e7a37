// The protocol text reader: any text is either refused with the reader's
// exception or read into a tree whose text form reads back into the same
// tree (types, names, order and values to the bit) and writes the same text.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "duvhost/XProtocol.h"

namespace {

using duvfuzz::check;

void sameTree(const ReadonlyXNode& a, const ReadonlyXNode& b) {
    const std::string at = a.Path();
    check(a.GetType() == b.GetType(), at + ": type changed");
    check(a.Name() == b.Name() && at == b.Path(), at + ": name changed to " + b.Path());
    switch (a.GetType()) {
        case ReadonlyXNode::Map: {
            check(a.ChildNames() == b.ChildNames(), at + ": keys changed");
            const auto ca = a.Select("*"), cb = b.Select("*");
            check(ca.size() == cb.size(), at + ": children changed");
            for (size_t i = 0; i < ca.size(); ++i) sameTree(ca[i], cb[i]);
            return;
        }
        case ReadonlyXNode::Array:
            check(a.Count() == b.Count(), at + ": length changed");
            for (long i = 0; i < a.Count(); ++i) sameTree(a.At(i, false), b.At(i, false));
            return;
        case ReadonlyXNode::Long: check(a.ToLong() == b.ToLong(), at + ": long changed"); return;
        case ReadonlyXNode::Bool: check(a.ToBool() == b.ToBool(), at + ": bool changed"); return;
        case ReadonlyXNode::String: check(a.ToString() == b.ToString(), at + ": string changed"); return;
        case ReadonlyXNode::Double: {
            const double x = a.ToDouble(), y = b.ToDouble();
            check((std::isnan(x) && std::isnan(y)) || std::memcmp(&x, &y, sizeof x) == 0,
                  at + ": double changed");
            return;
        }
        default: return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    XProtocol read;
    try {
        read = XProtocol::LoadFromText(std::string(reinterpret_cast<const char*>(data), size), "input");
    } catch (const ReadonlyXNode::Exception&) {
        return 0;
    }
    std::string saved;
    check(read.SaveToStream(saved) == 0, "SaveToStream failed");
    XProtocol again;
    try {
        again = XProtocol::LoadFromText(saved, "saved");
    } catch (const ReadonlyXNode::Exception& e) {
        duvfuzz::broken(std::string("the saved text is refused: ") + e.what());
    }
    sameTree(read, again);
    std::string resaved;
    again.SaveToStream(resaved);
    check(resaved == saved, "the saved text changes when saved again");
    return 0;
}
