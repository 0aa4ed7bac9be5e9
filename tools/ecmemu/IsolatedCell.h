// A fault-matrix cell in a child process of its own: a fatal verifier violation, a crash or a
// hang ends that cell, with what the child said on its way out, and the matrix goes on.
#pragma once

#include "tools/ecmemu/FaultCell.h"

namespace ecmemu {

constexpr unsigned kCellRealSecondsBound = 120;

CellResult RunIsolatedCell(const CellSetup& setup);

}  // namespace ecmemu
