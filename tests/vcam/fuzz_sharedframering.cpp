// Crafted segments for the shared-memory camera: every case rewrites the header as a hostile or
// broken program of the same user could (layout fields, latest slot, slot sequences, the futex
// word, client entries), then lets the reader read, a fresh reader attach, the writer publish and
// count its clients. Run under AddressSanitizer and UndefinedBehaviorSanitizer by
// scripts/fuzz-vcam; any access outside the segment or the frame is reported there.
// Usage: fuzz_sharedframering [cases (default 1000000)] [seed]

#include "vcam/sharedframering.h"
#include "vcam/sharedframering_p.h"

#include <QCoreApplication>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace sharedframe;

namespace {

// The valid value most of the time (so that enough cases get past the layout checks to the
// copies), an edge value often, anything at all otherwise.
template <typename T>
T pick(std::mt19937_64 &random, T valid, std::initializer_list<T> edges)
{
    const unsigned roll = random() % 16;
    if (roll < 13)
        return valid;
    if (roll < 15) {
        const auto *edge = edges.begin() + random() % edges.size();
        return *edge;
    }
    return T(random());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const long cases = argc > 1 ? std::atol(argv[1]) : 1000000;
    std::mt19937_64 random(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1);
    const QString name = QStringLiteral("/talvento-fuzz-%1").arg(::getpid());

    SharedFrameRing writer(SharedFrameRing::Role::Writer, name);
    SharedFrameRing reader(SharedFrameRing::Role::Reader, name);
    if (!writer.isValid() || !reader.isValid() || !reader.registerClient()) {
        std::fprintf(stderr, "fuzz_sharedframering: no segment: %s\n", qPrintable(writer.errorString()));
        return 2;
    }
    const int fd = ::shm_open(name.toLocal8Bit().constData(), O_RDWR, 0);
    void *memory = ::mmap(nullptr, SegmentBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (memory == MAP_FAILED)
        return 2;
    auto *h = static_cast<Header *>(memory);
    FrameRef frame = Frame::create(Width, Height);

    long frames = 0, published = 0, attached = 0;
    for (long i = 0; i < cases; ++i) {
        h->magic = pick<uint32_t>(random, Magic, {0, Magic + 1});
        h->version = pick<uint32_t>(random, Version, {0, 2, UINT32_MAX});
        h->width = pick<uint32_t>(random, Width, {0, Width + 1, UINT32_MAX});
        h->height = pick<uint32_t>(random, Height, {0, Height * 2, UINT32_MAX});
        h->stride = pick<uint32_t>(random, Stride, {0, Stride - 4, Stride * 2, UINT32_MAX});
        h->slotCount = pick<uint32_t>(random, SlotCount, {0, 1, SlotCount + 1, UINT32_MAX});
        h->latestSlot.store(pick<int32_t>(random, int32_t(random() % SlotCount),
                                          {-1, -2, SlotCount, SlotCount + 1, 1000000, INT_MAX, INT_MIN}));
        for (SlotHeader &slot : h->slotHeaders)
            slot.sequence.store(pick<uint32_t>(random, uint32_t(random() % 1000) * 2, {1, 3, UINT32_MAX}));
        if (random() % 2)
            h->published.fetch_add(1 + uint32_t(random() % 3));
        if (random() % 16 == 0) {
            ClientEntry &client = h->clients[random() % MaxClients];
            client.pid.store(pick<int32_t>(random, 0, {-1, -2, INT_MIN, INT_MAX, 1, ::getpid()}));
            client.startTime.store(random());
        }
        // Copying a whole frame is the slow part: most cases exercise the checks before it.
        if (random() % 64 != 0) {
            const auto saved = h->slotHeaders[0].sequence.load();
            for (SlotHeader &slot : h->slotHeaders)
                slot.sequence.store(slot.sequence.load() | 1); // odd: nothing to copy
            frames += reader.readNext(*frame, 0);
            h->slotHeaders[0].sequence.store(saved);
        } else {
            frames += reader.readNext(*frame, 0);
        }
        if (random() % 64 == 0)
            published += writer.publish(*frame);
        if (random() % 32 == 0)
            writer.clientCount();
        if (random() % 256 == 0) {
            SharedFrameRing late(SharedFrameRing::Role::Reader, name);
            attached += late.isValid();
        }
    }
    std::printf("fuzz_sharedframering: %ld cases, %ld frames read, %ld published, %ld late readers attached\n",
                cases, frames, published, attached);
    ::munmap(memory, SegmentBytes);
    return 0;
}
