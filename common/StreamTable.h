#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

namespace plenova {

// What a layout update did to a mixer's stream tables.
enum class StreamTableUpdate {
  kDone,
  kNoFreeSlot,     // a new stream of the layout found no free slot
  kRetireRefused,  // a stream could not be moved to the removed ones
};

// How one mixer's slots and layout entries are read and written; an
// aggregate of callables, given in this order.
//   same(slot, entry)    the slot holds the entry's stream
//   isFree(slot)         the slot holds no stream
//   keep(slot, entry)    the entry lists the slot's stream again
//   take(slot, entry)    a free slot receives the entry's new stream
//   holds(slot)          the slot holds a stream a layout can remove
//   retire(old, slot)    records the slot's stream in `old` and frees the
//                        slot; false refuses (the update stops there)
template <typename Same, typename IsFree, typename Keep, typename Take, typename Holds,
          typename Retire>
struct StreamTableOps {
  Same same;
  IsFree isFree;
  Keep keep;
  Take take;
  Holds holds;
  Retire retire;
};
template <typename Same, typename IsFree, typename Keep, typename Take, typename Holds,
          typename Retire>
StreamTableOps(Same, IsFree, Keep, Take, Holds, Retire)
    -> StreamTableOps<Same, IsFree, Keep, Take, Holds, Retire>;

// Applies a layout to the two tables a mixer keeps of its input streams:
// `current`, one slot per stream of the layout (or arrived by itself, not
// yet listed), and `old`, the streams this update removed, whose late
// frames are dropped rather than taken for new streams. Each slot's
// `streamExist` ends true exactly for the listed streams; every other
// slot holding a stream is retired into `old`, which is cleared first. A
// refusal leaves what was done before it. Caller holds the tables' lock.
template <typename Slot, size_t N, typename Old, size_t M, typename Entry, typename Ops>
StreamTableUpdate ApplyLayout(std::array<Slot, N>& current, std::array<Old, M>& old,
                              std::span<const Entry> entries, Ops& ops) {
  for (Slot& slot : current) slot.streamExist = false;
  for (const Entry& entry : entries) {
    auto found = std::find_if(current.begin(), current.end(),
                              [&](const Slot& slot) { return ops.same(slot, entry); });
    if (found != current.end()) {
      found->streamExist = true;
      ops.keep(*found, entry);
      continue;
    }
    auto free = std::find_if(current.begin(), current.end(),
                             [&](const Slot& slot) { return ops.isFree(slot); });
    if (free == current.end()) return StreamTableUpdate::kNoFreeSlot;
    free->streamExist = true;
    ops.take(*free, entry);
  }

  old.fill(Old{});
  size_t retired = 0;
  for (Slot& slot : current) {
    if (slot.streamExist || !ops.holds(slot)) continue;
    // `old` has a place for every slot.
    static_assert(M >= N);
    if (!ops.retire(old[retired], slot)) return StreamTableUpdate::kRetireRefused;
    ++retired;
  }
  return StreamTableUpdate::kDone;
}

}  // namespace plenova
