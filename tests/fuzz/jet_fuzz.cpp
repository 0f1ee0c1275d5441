// libFuzzer target over the reading engine: open a database from the input
// bytes, read the catalog, every table definition and every row of every
// table; then read it again as a repair does, tolerantly (a rebuilt header,
// tables found by their definitions, the salvaging walk of every table).
// Any outcome other than success or a jet::Error is a finding.
//
// The bytes go to a memfd so the engine reads them through its ordinary
// pread path. A password recorded in the header is passed back in, so the
// fuzzer gets past the password check into the pages. An input with an
// Office encryption record (an encrypted ACE file) has the record parsed and
// is unlocked with the encrypted fixtures' password, "password": the parser
// of the record, the password check and the page ciphers are fuzzed, and an
// input grown from those fixtures reaches its decrypted pages.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "jet/base/error.h"
#include "jet/base/format.h"
#include "jet/page/file.h"
#include "jet/page/office_crypt.h"
#include "jet/table/complex.h"
#include "jet/table/database.h"
#include "jet/table/salvage.h"

namespace {

// "password" when the input's header page carries an Office encryption
// record, after a first unlock and page decryption of its own; empty otherwise.
std::string office_password(const std::uint8_t* data, std::size_t size, const std::string& path) {
    if (size < jet::kJet4PageSize) return {};
    std::vector<std::uint8_t> header(data, data + jet::kJet4PageSize);
    jet::rc4_apply(jet::kHeaderRc4Key,
                   std::span<std::uint8_t>(header.data() + jet::kHeaderMaskedOffset,
                                           jet::format_info(jet::Format::Jet4).header_masked_length));
    if (!jet::has_office_encryption(header)) return {};
    try {
        auto crypt = jet::open_office_encryption(std::span<const std::uint8_t>(data, jet::kJet4PageSize),
                                                 "password", path);
        if (crypt && size >= 2 * jet::kJet4PageSize) {
            std::vector<std::uint8_t> page(data + jet::kJet4PageSize, data + 2 * jet::kJet4PageSize);
            crypt->decrypt_page(1, page);
            crypt->encrypt_page(1, page);
        }
    } catch (const jet::Error&) {
    }
    return "password";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memfd_create("jet_fuzz", MFD_CLOEXEC);
    if (fd < 0) return 0;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const std::string office = office_password(data, size, path);
    try {
        std::string password = office;
        try {
            if (password.empty()) password = jet::decode_header(std::span<const std::uint8_t>(data, size), path).password;
        } catch (const jet::Error&) {
        }
        auto db = jet::Database::open(path, password);
        for (const auto& t : db->tables()) {
            if (!t.local()) continue;
            try {
                jet::TableDef def = db->table_def(*t.entry);
                std::size_t cells = 0;
                db->scan(def, [&](const jet::RowId&, const jet::Row& row) {
                    cells += row.size();
                    return cells < 2000000;
                });
            } catch (const jet::Error&) {
                // one damaged table does not stop the others
            }
        }
        // ACE files: complex columns, their flat rows and attachment data.
        try {
            for (const auto& c : jet::complex_columns(*db)) {
                for (std::int32_t id = 1; id <= 4; ++id) {
                    try {
                        if (c.kind == jet::ComplexKind::kAttachment) (void)jet::read_attachments(*db, c, id);
                        else (void)jet::read_complex_values(*db, c, id);
                    } catch (const jet::Error&) {
                    }
                }
            }
        } catch (const jet::Error&) {
        }
    } catch (const jet::Error&) {
    }
    try {
        std::string password = office;
        try {
            if (password.empty()) password = jet::decode_header(std::span<const std::uint8_t>(data, size), path).password;
        } catch (const jet::Error&) {
        }
        auto db = jet::Database::open(path, password, true);
        // Open has looked for definitions only when the catalog is damaged.
        (void)jet::find_table_defs(db->file());
        for (const auto& t : db->tables()) {
            if (!t.local()) continue;
            try {
                jet::TableDef def = db->table_def(*t.entry);
                jet::SalvageCounts counts;
                std::size_t cells = 0;
                jet::salvage_table_bytes(
                    db->file(), def, counts,
                    [&](const jet::RowId&, std::uint32_t page, std::span<const std::uint8_t> bytes) {
                        try {
                            cells += jet::decode_row(db->file(), def, bytes, page).size();
                        } catch (const jet::Error&) {
                            // a row the walk let through may still not decode
                        }
                        return cells < 2000000;
                    });
            } catch (const jet::Error&) {
            }
        }
    } catch (const jet::Error&) {
    }
    close(fd);
    return 0;
}
