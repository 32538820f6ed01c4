// Prediction of x86-64 branch and address fields for records of layout 3. Where code moved, a
// call's or a data reference's 32-bit displacement changes by however far its target moved
// relative to the instruction itself, so a cover's differences are nonzero at every such field.
// A reader knows the source and how its stretches moved (the shift map), so it can predict each
// field's new value; the record then stores the difference from the prediction, which is zero
// wherever the prediction holds.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zep {

// Where the source's stretches lie in the destination: from starts[i] (ascending, the first 0)
// up to the next start, a source byte at position p is expected at p + shifts[i].
struct ShiftMap {
    std::vector<uint32_t> starts;
    std::vector<int64_t> shifts;

    // The shift of the stretch that holds position (0 for an empty map).
    int64_t shiftAt(uint64_t position) const
    {
        const uint64_t page = position >> kPageBits;
        if (page >= pages_.size())
            return searchShift(position);
        size_t stretch = pages_[page];
        while (stretch + 1 < starts.size() && starts[stretch + 1] <= position)
            ++stretch;
        return shifts[stretch];
    }
    // Makes shiftAt take a few steps instead of a binary search, for positions below limit:
    // for every 256 positions, the first stretch that reaches into them.
    void index(uint32_t limit);

  private:
    static constexpr uint32_t kPageBits = 8;
    int64_t searchShift(uint64_t position) const;

    std::vector<uint32_t> pages_;
};

// The source bytes of one cover, with every field found in them replaced by its prediction, a
// piece at a time: what the cover's differences are taken against.
class CoverPredictor {
  public:
    CoverPredictor(const uint8_t* source, uint32_t sourceSize, const ShiftMap& map);
    // Starts on the cover of length bytes from source position start, which the destination
    // holds at start + shift.
    void start(uint32_t coverStart, uint32_t length, int64_t shift);
    // Writes the next predicted bytes of the cover to out, at most room (at least 16), and
    // returns how many: fewer where a field would run past the room, which the next call writes.
    size_t next(uint8_t* out, size_t room);

  private:
    const uint8_t* source_;
    uint32_t sourceSize_;
    const ShiftMap& map_;
    uint64_t at_ = 0;   // the next source position to write
    uint64_t end_ = 0;  // the cover's end in the source
    int64_t shift_ = 0;
};

}  // namespace zep
