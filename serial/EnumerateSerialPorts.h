#pragma once
// The numbers of the COM ports present, in the order the system lists them.
#include "platform/UIntArray.h"

// Empties ports, then appends every port found. Throws nothing.
void EnumerateSerialPorts(CUIntArray& ports);

// Appends the port numbers named in a DOS device list (NUL-separated names ended by an
// empty name, as QueryDosDeviceA(NULL, ...) returns it). length bounds the list.
void ParseDosDeviceNames(const char* list, size_t length, CUIntArray& ports);

// The strategy for systems without a DOS device table: opens COM1..COM255 in turn.
void ProbeSerialPorts(CUIntArray& ports);
