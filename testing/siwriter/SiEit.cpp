#include "SiEit.h"

#include "SiSection.h"

namespace {

constexpr size_t kMaxEitSection = 4096;
constexpr uint8_t kJapanese[3] = {'j', 'p', 'n'};

// The items in as many extended event descriptors as they need, an item
// never split; the descriptors are numbered.
void ExtendedEvent(CSectionWriter& w, const SiEvent& e)
{
    constexpr size_t kMaxItems = 240;  // a descriptor's 255 bytes less its header
    size_t descriptors = 0;
    for (size_t i = 0, used = kMaxItems; i < e.itemCount; ++i) {
        const size_t size = 2 + e.items[i].description.length + e.items[i].text.length;
        if (used + size > kMaxItems) ++descriptors, used = 0;
        used += size;
    }
    size_t next = 0;
    for (size_t n = 0; n < descriptors; ++n) {
        const size_t d = w.BeginDescriptor(0x4E);
        w.U8((n << 4) | (descriptors - 1));
        w.Bytes(kJapanese, 3);
        const size_t itemsAt = w.Size();
        w.U8(0);
        size_t used = 0;
        for (; next < e.itemCount; ++next) {
            const SiExtendedItem& item = e.items[next];
            const size_t size = 2 + item.description.length + item.text.length;
            if (used && used + size > kMaxItems) break;
            w.Text8(item.description);
            w.Text8(item.text);
            used += size;
        }
        w.SetAt(itemsAt, static_cast<uint8_t>(used));  // their byte count, known now
        w.U8(0);                                        // no free text
        w.EndDescriptor(d);
    }
}

void BasicParts(CSectionWriter& w, const SiEvent& e)
{
    size_t d = w.BeginDescriptor(0x4D);  // short event
    w.Bytes(kJapanese, 3);
    w.Text8(e.title);
    w.Text8(e.text);
    w.EndDescriptor(d);
    if (e.videoType) {
        d = w.BeginDescriptor(0x50);  // component
        w.U8(0xF0 | e.videoContent);
        w.U8(e.videoType);
        w.U8(e.videoTag);
        w.Bytes(kJapanese, 3);
        w.EndDescriptor(d);
    }
    if (e.audioType) {
        d = w.BeginDescriptor(0xC4);  // audio component
        w.U8(0xF2);                   // stream content: audio
        w.U8(e.audioType);
        w.U8(e.audioTag);
        w.U8(e.audioStreamType);
        w.U8(0xFF);  // no simulcast group
        // One language, main component, quality mode 1, 48 kHz.
        w.U8(0x40 | 0x10 | (7 << 1) | 1);
        w.Bytes(kJapanese, 3);
        w.EndDescriptor(d);
    }
    d = w.BeginDescriptor(0x54);  // content
    w.U8(e.genre);
    w.U8(0xFF);  // no user nibbles
    w.EndDescriptor(d);
}

}  // namespace

size_t WriteEit(uint8_t* out, size_t capacity, const SiEitHeader& h, const SiEvent* events, size_t count,
                unsigned parts)
{
    CSectionWriter w(out, capacity < kMaxEitSection ? capacity : kMaxEitSection);
    w.BeginLong(h.tableId, h.serviceId, h.version, h.section, h.lastSection);
    w.U16(h.tsid);
    w.U16(h.networkId);
    w.U8(h.segmentLastSection);
    w.U8(h.lastTableId);
    for (size_t i = 0; i < count; ++i) {
        const SiEvent& e = events[i];
        w.U16(e.id);
        uint8_t start[5];
        SiJstTime(e.start, start);
        w.Bytes(start, 5);
        w.U24(e.duration == kSiUndefinedDuration ? 0xFFFFFF : SiBcdDuration(e.duration));
        const size_t loop = w.OpenLoop();
        if (parts & kSiBasicParts) BasicParts(w, e);
        if (parts & kSiExtendedParts) ExtendedEvent(w, e);
        w.CloseLoop(loop);
        // Running status and free CA mode share the loop length's top bits.
        w.SetAt(loop, static_cast<uint8_t>((e.running << 5) | (w.At(loop) & 0x0F)));
    }
    return w.Finish();
}
