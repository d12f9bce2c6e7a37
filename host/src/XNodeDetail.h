// Host-internal access to protocol nodes that stand for a stage property.
//
// MrFunctor::At hands configurators a stage property as an XNode: From...
// converts the value to the property's type (the rules of Rudu::ConvertNodes)
// and sets it with Rudu::SetProperty; To... reads it with Rudu::GetProperty.
#pragma once

#include <memory>
#include <string>

#include "duvhost/Rudu.h"
#include "duvhost/XProtocol.h"

namespace detail {

// The exact text of the host's refusal of an unknown or read-only property.
inline std::string PropertyNotFoundMessage(const std::string& objectName, const std::string& propertyName) {
    return "Node: " + objectName + ": SetProperty - Parameter not found " + propertyName;
}

// A node for property `propertyName` of `component`, named `objectName` in
// messages. `keepAlive` (for example the pipeline's stage record) is held by
// the node so that the component outlives every copy of the handle; without
// it the caller keeps the component alive.
//
// For a property the component does not publish the node is bad and its
// From... calls throw PropertyNotFoundMessage (ReadonlyXNode::Exception); with
// mustExist set, this function throws that instead. A read-only property
// gives a good node that reads its value and refuses From... the same way.
XNode MakePropertyNode(Rudu::Component* component, const std::string& objectName, const std::string& propertyName,
                       std::shared_ptr<const void> keepAlive = nullptr, bool mustExist = false);

}  // namespace detail
