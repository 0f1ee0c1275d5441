// Index entries sorted in bounded memory and B-trees written bottom-up (see
// write_index_build.h).
//
// The sorter keeps entries back to back in one buffer and sorts an array of
// small references to them (offset, length, the first eight bytes as a
// number), so a sort compares integers for most pairs and allocates nothing
// per entry. The tree writer fills one page image at a time and lays pages
// out exactly as the writer always has: leaves left to right, then each
// level above, a node listing every child but its last by that child's last
// entry and page, the last child hanging off the tail pointer.
#include "jet/write/index_build.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "jet/base/error.h"
#include "jet/index/page.h"
#include "jet/write/format.h"

namespace jet::write {

namespace {

constexpr std::uint16_t kMarkBit = 0x8000;
constexpr std::size_t kRunBuffer = 64 * 1024;

std::uint64_t prefix_of(const std::uint8_t* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i) v = (v << 8) | (i < n ? p[i] : 0);
    return v;
}

void put_le(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

// ---- sorter --------------------------------------------------------------------

struct IndexEntrySorter::Ref {
    std::uint64_t prefix;
    std::uint32_t offset;  // of the entry's bytes in the arena
    std::uint16_t header;  // length | mark bit
};

// A sorted run in an unnamed temporary file: [u16 header][bytes] ...
struct IndexEntrySorter::Run {
    std::FILE* file = nullptr;
    std::vector<char> buffer;
    std::vector<std::uint8_t> current;
    bool mark = false;
    ~Run() {
        if (file) std::fclose(file);
    }
    bool next() {
        std::uint8_t h[2];
        std::size_t got = std::fread(h, 1, 2, file);
        if (got == 0 && std::feof(file)) return false;
        if (got != 2) throw Error("Reading a temporary file of an index build failed.");
        std::uint16_t header = static_cast<std::uint16_t>(h[0] | (h[1] << 8));
        mark = header & kMarkBit;
        current.resize(header & ~kMarkBit);
        if (!current.empty() &&
            std::fread(current.data(), 1, current.size(), file) != current.size()) {
            throw Error("Reading a temporary file of an index build failed.");
        }
        return true;
    }
};

namespace {

// Grows a buffer by doubling from a small start, but never past cap, so the
// buffers stay inside the budget. Reserving the whole budget up front would
// cost nothing resident in an ordinary build, but a memory checker maps and
// clears shadow memory for all of it, for every index of every commit.
template <class V>
void grow_within(V& v, std::size_t extra, std::size_t cap) {
    const std::size_t need = v.size() + extra;
    if (need <= v.capacity()) return;
    const std::size_t start = 64 * 1024 / sizeof(typename V::value_type);
    const std::size_t want = std::max({need, v.capacity() * 2, start});
    v.reserve(std::max(need, std::min(want, cap)));
}

}  // namespace

IndexEntrySorter::IndexEntrySorter(std::string temp_folder, std::size_t budget)
    : folder_(std::move(temp_folder)),
      budget_(std::clamp<std::size_t>(budget, 1024, std::size_t{1} << 31)) {}

IndexEntrySorter::~IndexEntrySorter() = default;

void IndexEntrySorter::add(std::span<const std::uint8_t> key, std::uint32_t page, std::uint8_t row,
                           bool mark) {
    std::size_t n = key.size() + 4;
    if (n >= kMarkBit) throw Error("Internal error: index entry too long");
    std::size_t need = n + 2 + sizeof(Ref);
    if (!refs_.empty() && arena_.size() + refs_.size() * sizeof(Ref) + need > budget_) spill();
    grow_within(arena_, n + 2, budget_);
    grow_within(refs_, 1, budget_ / sizeof(Ref) + 1);
    std::uint16_t header = static_cast<std::uint16_t>(n | (mark ? kMarkBit : 0));
    arena_.push_back(static_cast<std::uint8_t>(header));
    arena_.push_back(static_cast<std::uint8_t>(header >> 8));
    std::size_t at = arena_.size();
    arena_.insert(arena_.end(), key.begin(), key.end());
    arena_.push_back(static_cast<std::uint8_t>(page >> 16));
    arena_.push_back(static_cast<std::uint8_t>(page >> 8));
    arena_.push_back(static_cast<std::uint8_t>(page));
    arena_.push_back(row);
    refs_.push_back(Ref{prefix_of(arena_.data() + at, n), static_cast<std::uint32_t>(at), header});
    ++count_;
}

void IndexEntrySorter::sort_buffer() {
    const std::uint8_t* base = arena_.data();
    std::sort(refs_.begin(), refs_.end(), [base](const Ref& a, const Ref& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        std::size_t la = a.header & ~kMarkBit, lb = b.header & ~kMarkBit;
        int c = std::memcmp(base + a.offset, base + b.offset, std::min(la, lb));
        if (c != 0) return c < 0;
        return la < lb;
    });
}

void IndexEntrySorter::spill() {
    sort_buffer();
    auto run = std::make_unique<Run>();
    std::string name = (folder_.empty() ? std::string(".") : folder_) + "/.zolvak-index-XXXXXX";
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        throw Error("Cannot create a temporary file for sorting index entries in '" + folder_ +
                    "': " + std::strerror(errno));
    }
    ::unlink(name.c_str());  // nothing is left behind, whatever happens next
    run->file = ::fdopen(fd, "w+b");
    if (!run->file) {
        ::close(fd);
        throw Error("Cannot open a temporary file for sorting index entries.");
    }
    run->buffer.resize(kRunBuffer);
    std::setvbuf(run->file, run->buffer.data(), _IOFBF, run->buffer.size());
    for (const Ref& r : refs_) {
        std::size_t n = r.header & ~kMarkBit;
        if (std::fwrite(arena_.data() + r.offset - 2, 1, n + 2, run->file) != n + 2) {
            throw Error("Writing a temporary file of an index build failed (disk full?).");
        }
    }
    if (std::fflush(run->file) != 0) {
        throw Error("Writing a temporary file of an index build failed (disk full?).");
    }
    runs_.push_back(std::move(run));
    arena_.clear();
    refs_.clear();
}

void IndexEntrySorter::merge(const Visitor& visit) {
    if (runs_.empty()) {
        sort_buffer();
        for (const Ref& r : refs_) {
            visit(std::span<const std::uint8_t>(arena_.data() + r.offset, r.header & ~kMarkBit),
                  r.header & kMarkBit);
        }
        return;
    }
    if (!refs_.empty()) spill();
    std::vector<std::uint8_t>().swap(arena_);
    std::vector<Ref>().swap(refs_);
    std::vector<Run*> heap;
    for (auto& run : runs_) {
        if (std::fseek(run->file, 0, SEEK_SET) != 0) {
            throw Error("Reading a temporary file of an index build failed.");
        }
        if (run->next()) heap.push_back(run.get());
    }
    auto greater = [](const Run* a, const Run* b) { return a->current > b->current; };
    std::make_heap(heap.begin(), heap.end(), greater);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), greater);
        Run* top = heap.back();
        visit(top->current, top->mark);
        if (top->next()) {
            std::push_heap(heap.begin(), heap.end(), greater);
        } else {
            heap.pop_back();
        }
    }
}

// ---- tree writer ---------------------------------------------------------------

struct IndexTreeWriter::PageBuilder {
    std::vector<std::uint8_t> image;
    std::uint32_t number = 0;
    std::size_t used = 0;
    std::size_t last_start = 0;  // of the last entry, from kIndexEntryStart
    bool empty() const { return used == 0; }

    void start(bool leaf, std::uint32_t owner, std::uint32_t page, std::uint32_t prev) {
        const IndexPageLayout& layout = index_page_layout(Format::Jet4);
        image.assign(kPageSize, 0);
        image[0] = leaf ? 0x04 : 0x03;
        image[1] = 0x01;
        put_le(image, layout.owner_offset, owner, 4);
        put_le(image, layout.prev_offset, prev, 4);
        number = page;
        used = 0;
        last_start = 0;
    }
    void append(std::span<const std::uint8_t> bytes, const std::uint8_t* child = nullptr) {
        std::size_t n = bytes.size() + (child ? 4 : 0);
        if (kIndexEntryStart + used + n > kPageSize)
            throw Error("Internal error: index page overflow");
        std::uint8_t* at = image.data() + kIndexEntryStart + used;
        if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
        if (child) std::memcpy(at + bytes.size(), child, 4);
        last_start = used;
        used += n;
        // Mark where the next entry starts; the mark after the last entry
        // tells where the data ends.
        image[kIndexMaskStart + used / 8] |= static_cast<std::uint8_t>(1u << (used % 8));
    }
    std::span<const std::uint8_t> last() const {
        return {image.data() + kIndexEntryStart + last_start, used - last_start};
    }
    void finish(std::uint32_t next, std::uint32_t tail) {
        const IndexPageLayout& layout = index_page_layout(Format::Jet4);
        put_le(image, layout.next_offset, next, 4);
        put_le(image, layout.tail_offset, tail, 4);
        put_le(image, 2, static_cast<std::uint32_t>(kPageSize - kIndexEntryStart - used), 2);
    }
};

IndexTreeWriter::IndexTreeWriter(std::uint32_t owner, TakePage take, WritePage write)
    : owner_(owner), take_(std::move(take)), write_(std::move(write)) {}

IndexTreeWriter::~IndexTreeWriter() = default;

namespace {

struct Child {
    std::span<const std::uint8_t> last;
    std::uint32_t page = 0;
};

// Reads the child at `at` of a children buffer and moves `at` past it.
Child read_child(const std::vector<std::uint8_t>& buf, std::size_t& at) {
    std::size_t n = buf[at] | (buf[at + 1] << 8);
    Child c;
    c.last = std::span<const std::uint8_t>(buf.data() + at + 2, n);
    const std::uint8_t* p = buf.data() + at + 2 + n;
    c.page = static_cast<std::uint32_t>(p[0]) | (p[1] << 8) | (p[2] << 16) |
             (static_cast<std::uint32_t>(p[3]) << 24);
    at += 2 + n + 4;
    return c;
}

// Appends a child (its last entry and page) to a children buffer.
void add_child(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> last,
               std::uint32_t page) {
    out.push_back(static_cast<std::uint8_t>(last.size()));
    out.push_back(static_cast<std::uint8_t>(last.size() >> 8));
    out.insert(out.end(), last.begin(), last.end());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(page >> (8 * i)));
}

}  // namespace

void IndexTreeWriter::add(std::span<const std::uint8_t> entry) {
    if (!leaf_) {
        leaf_ = std::make_unique<PageBuilder>();
        leaf_->start(true, owner_, take_(), 0);
    } else if (leaf_->used + entry.size() > kIndexEntrySpace && !leaf_->empty()) {
        std::uint32_t next = take_();
        leaf_->finish(next, 0);
        write_(leaf_->number, leaf_->image);
        add_child(children_, leaf_->last(), leaf_->number);
        ++child_count_;
        leaf_->start(true, owner_, next, leaf_->number);
    }
    leaf_->append(entry);
}

std::uint32_t IndexTreeWriter::finish() {
    if (!leaf_) {
        leaf_ = std::make_unique<PageBuilder>();
        leaf_->start(true, owner_, take_(), 0);
    }
    leaf_->finish(0, 0);
    write_(leaf_->number, leaf_->image);
    add_child(children_, leaf_->last(), leaf_->number);
    ++child_count_;
    PageBuilder node;
    while (child_count_ > 1) {
        std::vector<std::uint8_t> above;
        std::size_t above_count = 0;
        std::size_t at = 0;
        Child pending = read_child(children_, at);
        node.start(false, owner_, take_(), 0);
        std::size_t size = 0;
        for (std::size_t k = 1; k < child_count_; ++k) {
            Child c = read_child(children_, at);
            std::size_t grow = pending.last.size() + 4;
            if (size + grow > kIndexEntrySpace) {
                std::uint32_t next = take_();
                node.finish(next, pending.page);
                write_(node.number, node.image);
                add_child(above, pending.last, node.number);
                ++above_count;
                node.start(false, owner_, next, node.number);
                size = 0;
            } else {
                std::uint8_t be[4] = {static_cast<std::uint8_t>(pending.page >> 24),
                                      static_cast<std::uint8_t>(pending.page >> 16),
                                      static_cast<std::uint8_t>(pending.page >> 8),
                                      static_cast<std::uint8_t>(pending.page)};
                node.append(pending.last, be);
                size += grow;
            }
            pending = c;
        }
        node.finish(0, pending.page);
        write_(node.number, node.image);
        add_child(above, pending.last, node.number);
        ++above_count;
        children_.swap(above);
        child_count_ = above_count;
    }
    std::size_t at = 0;
    return read_child(children_, at).page;
}

}  // namespace jet::write
