// The page writer: the one door through which the writing half of the
// engine changes a file.
//
// Every page the writer produces passes through PageWriter::write, so the
// rollback journal that transactions will need (original page images saved
// and synced before a page is overwritten) has exactly one place to hook in.
// A new file is created exclusively: an existing file or a missing folder is
// an error, never a silent overwrite.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace jet {

class PageWriter {
public:
    // Creates `path` (must not exist; its folder must). Throws jet::Error.
    static PageWriter create(const std::string& path, std::uint32_t page_size);
    // Opens an existing file for writing in place. Its length must be a
    // whole number of pages. Throws jet::Error.
    static PageWriter open(const std::string& path, std::uint32_t page_size);
    PageWriter() = default;  // closed, no file
    PageWriter(PageWriter&& other) noexcept;
    PageWriter& operator=(PageWriter&& other) noexcept;
    PageWriter(const PageWriter&) = delete;
    PageWriter& operator=(const PageWriter&) = delete;
    ~PageWriter();

    std::uint32_t page_size() const { return page_size_; }
    // Pages handed out so far (the file grows to this many on the next write).
    std::uint32_t page_count() const { return page_count_; }
    const std::string& path() const { return path_; }

    // Reserves the next page number at the end of the file. The page holds
    // zeros until it is written.
    std::uint32_t allocate();
    // Writes one whole page image (exactly page_size bytes). Pages that lie
    // close together are gathered in a window of kRunBytes and reach the
    // file in one write per stretch (read() sees them at once; sync() and
    // close() write what is gathered first). Without a write observer only:
    // the crash tests see every page reach the file by itself.
    void write(std::uint32_t page, std::span<const std::uint8_t> image);
    static constexpr std::size_t kRunBytes = 1 << 20;
    // Reads back a page this writer has written (zeros if never written).
    std::vector<std::uint8_t> read(std::uint32_t page) const;

    // The database key of an RC4-encoded file (0 = plain, the default):
    // from then on write() stores every page but the header encoded with
    // its page key and read() returns pages decoded, so the writer above
    // works on plain images either way. A page that is all zeros on disk
    // was never written and reads as zeros.
    void set_page_key(std::uint32_t database_key) { page_key_ = database_key; }
    std::uint32_t page_key() const { return page_key_; }
    // Called by write() before the first overwrite of each page that lies
    // below the file's length at the time the hook is set (the header page
    // included), with the page's image as it is on disk then (encoded, in
    // an encoded file: the journal puts back bytes, not pages). A rollback
    // journal saves that image, synced, before returning; if the hook throws,
    // the page is not written. An empty function removes the hook.
    using BeforeOverwrite =
        std::function<void(std::uint32_t page, std::span<const std::uint8_t> current_image)>;
    void set_before_overwrite(BeforeOverwrite hook);
    // Pages the file had when the hook was set (0 without a hook).
    std::uint32_t original_page_count() const { return original_pages_; }

    // Test hook: called around every page write, after the overwrite hook
    // (`done` false) and after the bytes are written (`done` true). The crash
    // tests end the process inside it.
    using WriteObserver = std::function<void(std::uint32_t page, bool done)>;
    void set_write_observer(WriteObserver observer) { observer_ = std::move(observer); }

    // Compare mode: write() compares the image with the page on disk and
    // records the pages that differ instead of writing, allocate() and sync()
    // refuse. DatabaseWriter::open uses it to prove that it would write an
    // existing file back byte for byte before it changes anything.
    void begin_compare();
    // Leaves compare mode; returns the pages that would have changed.
    std::vector<std::uint32_t> end_compare();

    // Makes the file as long as page_count() pages and syncs it.
    void sync();
    // Writes the gathered pages to the file (no sync).
    void write_run();
    void close();

private:
    std::string path_;
    int fd_ = -1;
    std::uint32_t page_size_ = 0;
    std::uint32_t page_count_ = 0;
    std::uint32_t page_key_ = 0;
    BeforeOverwrite before_overwrite_;
    std::uint32_t original_pages_ = 0;
    std::vector<bool> seen_;  // original pages already handed to the hook
    WriteObserver observer_;
    bool comparing_ = false;
    std::vector<std::uint32_t> differing_;
    // The gathering window: pages run_first_ .. run_first_ + run_set_.size(),
    // those written so far marked in run_set_ (empty: no window open).
    std::vector<std::uint8_t> run_;
    std::vector<bool> run_set_;
    std::uint32_t run_first_ = 0;
    // Pages from here on have never reached the file: they read as zeros.
    std::uint32_t disk_end_ = 0;
    // How far below a page the window opens when it lies beyond disk_end_.
    static constexpr std::uint32_t kRunBelow = 32;
    void gather(std::uint32_t page, std::span<const std::uint8_t> image);
    // Bytes written since the kernel was last asked to start writing back.
    std::uint64_t unflushed_ = 0;
    void write_at(const std::uint8_t* data, std::size_t size, std::uint64_t at);
    // The page as it lies in the file or the gathered run (zeros beyond).
    std::vector<std::uint8_t> read_stored(std::uint32_t page) const;
};

}  // namespace jet
