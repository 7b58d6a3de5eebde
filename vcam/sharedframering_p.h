#pragma once

// Internal: the layout of the shared-memory camera's segment, shared by the ring and by the
// programs that craft segments to test it. Not part of the ring's API.

#include "camera/frame.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sharedframe {

constexpr uint32_t Magic = 0x54564331; // "TVC1"
constexpr uint32_t Version = 1;
constexpr int Width = 1280;
constexpr int Height = 720;
constexpr int SlotCount = 3;
constexpr int MaxClients = 32;
constexpr size_t PageSize = 4096;

struct SlotHeader
{
    std::atomic<uint32_t> sequence; // odd while the writer fills the slot
    int64_t timestampUs;
    uint64_t frameNumber;
};

constexpr int32_t ClaimingPid = -1;

struct ClientEntry
{
    std::atomic<int32_t> pid;        // 0: free; ClaimingPid: being filled
    std::atomic<uint64_t> startTime; // the process's start time, against reused pids
};

struct Header
{
    uint32_t magic;
    uint32_t version;
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t slotCount;
    std::atomic<uint32_t> published; // futex word: grows by one per frame
    std::atomic<int32_t> latestSlot; // -1 before the first frame
    std::atomic<uint64_t> frameCount;
    SlotHeader slotHeaders[SlotCount];
    ClientEntry clients[MaxClients];
};
static_assert(sizeof(Header) <= PageSize);
static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free);

constexpr uint32_t Stride = uint32_t(Frame::Alignment * ((Width * 4 + Frame::Alignment - 1) / Frame::Alignment));
constexpr size_t SlotBytes = size_t(Stride) * Height;
constexpr size_t SegmentBytes = PageSize + SlotBytes * SlotCount;

} // namespace sharedframe
