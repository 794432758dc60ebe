// The state of a rescue as GNU ddrescue keeps it: the disc's sectors as
// ordered areas, each with one status, split and merged in place as sectors
// change status. Memory and the time of a mapfile save follow the number of
// areas, never the size of the disc.
#pragma once

#include <cstdint>
#include <map>

#include "rescue_map.h"

class RescueAreas {
public:
    // One area: sectors [first, end) in one status.
    struct Area {
        std::uint64_t first;
        std::uint64_t end;
        RescueStatus status;
    };

    // The areas of a mapfile in whole sectors of `sectorSize` bytes. A sector
    // counts as rescued only when all of its bytes are; one partly covered by
    // another status takes that status.
    static RescueAreas fromMap(const RescueMap& map, std::uint32_t sectorSize);

    // Sectors [first, end) take `status`; the areas beyond `end()` so far
    // read as non-tried.
    void set(std::uint64_t first, std::uint64_t end, RescueStatus status);
    RescueStatus at(std::uint64_t sector) const;
    // The area that holds `sector`; beyond end(), a non-tried one to the
    // largest sector number.
    Area areaAt(std::uint64_t sector) const;
    // One past the last sector with an area.
    std::uint64_t end() const { return areas_.empty() ? 0 : areas_.rbegin()->second.end; }
    std::size_t areaCount() const { return areas_.size(); }

    // Calls `visit(Area)` for each part of [first, end) in order, a part per
    // area (non-tried where no area reaches).
    template <typename Visit>
    void forEach(std::uint64_t first, std::uint64_t end, Visit&& visit) const
    {
        std::uint64_t at = first;
        auto it = areas_.upper_bound(first);
        if (it != areas_.begin()) {
            --it;
        }
        for (; it != areas_.end() && at < end; ++it) {
            if (it->second.end <= at) {
                continue;
            }
            const std::uint64_t partEnd = it->second.end < end ? it->second.end : end;
            visit(Area{at, partEnd, it->second.status});
            at = partEnd;
        }
        if (at < end) {
            visit(Area{at, end, RescueStatus::NonTried});
        }
    }

    // The blocks of a mapfile, positions and sizes in bytes.
    void toBlocks(std::uint32_t sectorSize, RescueMap* map) const;

private:
    struct Entry {
        std::uint64_t end;
        RescueStatus status;
    };
    // Keyed by the first sector; together they cover [0, end()) without gaps.
    std::map<std::uint64_t, Entry> areas_;

    void splitAt(std::uint64_t sector);
    void mergeAround(std::uint64_t first, std::uint64_t end);
};
