// The process-lifetime function table that the module publishes as its capsule.
#pragma once

#include "abi.hpp"

namespace standin {

const AbiTable* abi_table();

}  // namespace standin
