// Building index B-trees from many entries in bounded memory.
//
// IndexEntrySorter collects index entries (key + 4-byte row pointer) in one
// flat buffer; past a memory budget it sorts the buffer and spills it as a
// sorted run to an unnamed temporary file, and at the end it hands back every
// entry in order, merging the runs. IndexTreeWriter takes entries in order
// and writes the B-tree bottom-up as its pages fill: leaves go to disk at
// once, and only the last entry and page of each finished page is kept for
// the level above. Both write nothing of the database themselves: pages come
// from and go to the caller's callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace jet::write {

class IndexEntrySorter {
  public:
    // Sorted runs go to unnamed files in `temp_folder` (they are unlinked as
    // soon as they are created). `budget` bounds the bytes held in memory.
    IndexEntrySorter(std::string temp_folder, std::size_t budget);
    ~IndexEntrySorter();
    IndexEntrySorter(const IndexEntrySorter&) = delete;
    IndexEntrySorter& operator=(const IndexEntrySorter&) = delete;

    // One entry: its key, then the row pointer. `mark` travels with the entry
    // (the caller's flag, e.g. "may repeat"); it does not take part in the order.
    void add(std::span<const std::uint8_t> key, std::uint32_t page, std::uint8_t row, bool mark);

    // Visits every entry (key + row pointer) in byte order, once; the span is
    // valid during the call only.
    using Visitor = std::function<void(std::span<const std::uint8_t> entry, bool mark)>;
    void merge(const Visitor& visit);

    std::size_t size() const { return count_; }
    std::size_t runs() const { return runs_.size(); }

  private:
    struct Ref;
    struct Run;
    void sort_buffer();
    void spill();

    std::string folder_;
    std::size_t budget_;
    std::vector<std::uint8_t> arena_;  // [u16 length | mark bit][bytes] ...
    std::vector<Ref> refs_;
    std::vector<std::unique_ptr<Run>> runs_;
    std::size_t count_ = 0;
};

class IndexTreeWriter {
  public:
    using TakePage = std::function<std::uint32_t()>;
    using WritePage =
        std::function<void(std::uint32_t page, const std::vector<std::uint8_t>& image)>;
    // `owner` is the table's TDEF page. Pages are taken in the order they are
    // laid out: the leaves left to right, then each level above.
    IndexTreeWriter(std::uint32_t owner, TakePage take, WritePage write);
    ~IndexTreeWriter();

    // Entries in index order (key + row pointer).
    void add(std::span<const std::uint8_t> entry);
    // Writes what is left and the levels above; returns the root page.
    std::uint32_t finish();

  private:
    struct PageBuilder;
    std::uint32_t owner_;
    TakePage take_;
    WritePage write_;
    std::unique_ptr<PageBuilder> leaf_;   // the open leaf
    std::vector<std::uint8_t> children_;  // finished leaves: [u16 len][last entry][u32 page]
    std::size_t child_count_ = 0;
};

}  // namespace jet::write
