#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

/// What the class-specific VideoControl descriptors tell about the camera's units.
struct UVCVideoControlUnits
{
    bool hasHeader = false;  // a VC_HEADER came first among the class-specific descriptors
    uint16_t uvcVersion = 0; // bcdUVC
    std::optional<uint8_t> processingUnitId;
    std::optional<std::vector<uint8_t>> processingUnitControls; // bmControls bytes
    std::optional<std::vector<uint8_t>> terminalControls;       // camera terminal bmControls
};

/// Walks the descriptor bytes of a VideoControl interface. Every length and
/// offset is checked against the data: a zero length, a truncated descriptor
/// or a wTotalLength past the data ends the walk, keeping what was found.
UVCVideoControlUnits parseVideoControlDescriptors(const uint8_t *data, size_t size);

/// The location id as macOS forms it: bus number in the top byte, then one
/// nibble per port of the port path (at most six).
uint32_t uvcLocationId(uint8_t busNumber, const uint8_t *portPath, int portCount);
