#pragma once

#include <QString>

namespace tavex {

// Gives the panel root as it resolves at the moment of the call. A resolution may first install
// the shipped runtime, which takes long: call it from a worker thread, once per step that needs
// the root.
class RootSource
{
public:
    virtual ~RootSource() = default;
    virtual QString tavexPanelRoot() const = 0;

protected:
    RootSource() = default;
    RootSource(const RootSource &) = default;
    RootSource &operator=(const RootSource &) = default;
};

} // namespace tavex
