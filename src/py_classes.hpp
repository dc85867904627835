// The classes the module registers. Each type object is created on first use and kept for the
// life of the process; ClassInfo<Core>::type() is defined beside its class, in the core's folder.
#pragma once

#include "py_binding.hpp"

namespace quillon::fsketch {
class FeatureSketch;
}
namespace quillon::oif {
class OnlineIForest;
}
namespace quillon::mstream {
class MStream;
}
namespace quillon::rcf {
struct Forest;
}
namespace quillon::alerts {
class Alerts;
}

namespace quillon::py {

template <>
PyTypeObject* ClassInfo<fsketch::FeatureSketch>::type();
template <>
PyTypeObject* ClassInfo<oif::OnlineIForest>::type();
template <>
PyTypeObject* ClassInfo<mstream::MStream>::type();
template <>
PyTypeObject* ClassInfo<rcf::Forest>::type();
template <>
PyTypeObject* ClassInfo<alerts::Alerts>::type();

}  // namespace quillon::py
