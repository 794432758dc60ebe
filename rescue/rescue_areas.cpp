#include "rescue_areas.h"

#include <iterator>

RescueAreas RescueAreas::fromMap(const RescueMap& map, std::uint32_t sectorSize)
{
    RescueAreas areas;
    // Whole sectors of rescued blocks first, then every other status over
    // each sector it touches at all.
    for (const RescueBlock& block : map.blocks) {
        if (block.status == RescueStatus::Rescued) {
            const std::uint64_t first = (block.position + sectorSize - 1) / sectorSize;
            const std::uint64_t end = (block.position + block.size) / sectorSize;
            if (first < end) {
                areas.set(first, end, RescueStatus::Rescued);
            }
        }
    }
    for (const RescueBlock& block : map.blocks) {
        if (block.status != RescueStatus::Rescued && block.size != 0) {
            const std::uint64_t first = block.position / sectorSize;
            const std::uint64_t end = (block.position + block.size + sectorSize - 1) / sectorSize;
            areas.set(first, end, block.status);
        }
    }
    return areas;
}

void RescueAreas::splitAt(std::uint64_t sector)
{
    auto it = areas_.upper_bound(sector);
    if (it == areas_.begin()) {
        return;
    }
    --it;
    if (it->first < sector && sector < it->second.end) {
        areas_.emplace(sector, Entry{it->second.end, it->second.status});
        it->second.end = sector;
    }
}

void RescueAreas::mergeAround(std::uint64_t first, std::uint64_t end)
{
    auto it = areas_.lower_bound(first);
    if (it != areas_.begin()) {
        --it;
    }
    while (it != areas_.end() && it->first <= end) {
        auto next = std::next(it);
        if (next != areas_.end() && next->first == it->second.end && next->second.status == it->second.status) {
            it->second.end = next->second.end;
            areas_.erase(next);
            continue;
        }
        it = next;
    }
}

void RescueAreas::set(std::uint64_t first, std::uint64_t end, RescueStatus status)
{
    if (first >= end) {
        return;
    }
    const std::uint64_t covered = this->end();
    if (first > covered) {
        // What lies between the areas so far and this one was never tried.
        areas_.emplace(covered, Entry{first, RescueStatus::NonTried});
    }
    splitAt(first);
    splitAt(end);
    areas_.erase(areas_.lower_bound(first), areas_.lower_bound(end));
    areas_.emplace(first, Entry{end, status});
    mergeAround(first > covered ? covered : first, end);
}

RescueStatus RescueAreas::at(std::uint64_t sector) const
{
    auto it = areas_.upper_bound(sector);
    if (it == areas_.begin()) {
        return RescueStatus::NonTried;
    }
    --it;
    return sector < it->second.end ? it->second.status : RescueStatus::NonTried;
}

RescueAreas::Area RescueAreas::areaAt(std::uint64_t sector) const
{
    auto it = areas_.upper_bound(sector);
    if (it != areas_.begin()) {
        --it;
        if (sector < it->second.end) {
            return Area{it->first, it->second.end, it->second.status};
        }
    }
    return Area{end(), UINT64_MAX, RescueStatus::NonTried};
}

void RescueAreas::toBlocks(std::uint32_t sectorSize, RescueMap* map) const
{
    map->blocks.clear();
    map->blocks.reserve(areas_.size());
    for (const auto& [first, entry] : areas_) {
        map->blocks.push_back(RescueBlock{first * sectorSize, (entry.end - first) * sectorSize, entry.status});
    }
}
