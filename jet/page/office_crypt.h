// Office encryption of ACE files: the pages of a password-protected ACE
// database, decrypted as they are read and encrypted for a new file.
//
// An ACE file with a password keeps its header page in clear (apart from the
// fixed RC4 mask of the header area every Jet 4 and ACE file has). After the
// mask is removed, a non-zero four-byte encoding key at 0x3E says the other
// pages are encrypted, and an encryption provider record at 0x299 (a uint16
// length, then the record) says how: version 4.4 is agile encryption (AES,
// its parameters in an XML descriptor), versions 2.2, 3.2 and 4.2 without the
// AES flag are RC4 CryptoAPI encryption, with it standard (AES-ECB)
// encryption. Every page after the header is
// encrypted on its own; its per-page input is the encoding key XOR the page
// number (little-endian): agile hashes it with the key data salt into the
// CBC IV, RC4 CryptoAPI and standard AES hash it into the page's key. docs/ace-encryption.md
// has the layouts and the derivations.
//
// The ciphers and hashes are OpenSSL's libcrypto; nothing here implements one.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace jet {

// Where the provider record lies on the header page.
inline constexpr std::size_t kOfficeCryptRecordOffset = 0x299;

enum class OfficeCryptKind : std::uint8_t {
    Agile,         // version 4.4: AES-CBC, keys from an XML descriptor
    Rc4CryptoApi,  // versions 2.2, 3.2, 4.2, CryptoAPI flag, RC4
    StandardAes,   // versions 2.2, 3.2, 4.2, AES-ECB with SHA-1 derived keys
};

// The provider record, decoded (no password involved).
struct OfficeEncryptionInfo {
    OfficeCryptKind kind = OfficeCryptKind::Agile;
    std::uint16_t version_major = 0;
    std::uint16_t version_minor = 0;
    std::uint8_t encoding_key[4] = {};  // header bytes 0x3E..0x41, unmasked

    // Agile: the key data (how pages are encrypted) and the password key
    // encryptor (how the key is wrapped by the password).
    struct Cipher {
        std::vector<std::uint8_t> salt;
        std::uint32_t block_size = 16;
        std::uint32_t key_bits = 0;
        std::uint32_t hash_size = 0;
        std::string cipher;    // "AES"
        std::string chaining;  // "ChainingModeCBC"
        std::string hash;      // "SHA1", "SHA256", "SHA384", "SHA512"
    };
    Cipher key_data;
    Cipher password_key;
    std::uint32_t spin_count = 0;
    std::vector<std::uint8_t> encrypted_verifier_input;
    std::vector<std::uint8_t> encrypted_verifier_value;
    std::vector<std::uint8_t> encrypted_key_value;

    // RC4 CryptoAPI and standard AES: the header's algorithm ids and key
    // size, the verifier, and (AES) the spin count of the key derivation:
    // 50000, or 0 for files whose header claims RC4 CryptoAPI but names AES.
    std::uint32_t flags = 0;
    std::uint32_t alg_id = 0;
    std::uint32_t alg_id_hash = 0;
    std::uint32_t key_size_bits = 0;
    std::vector<std::uint8_t> salt;
    std::vector<std::uint8_t> encrypted_verifier;       // 16 bytes
    std::uint32_t verifier_hash_size = 0;
    std::vector<std::uint8_t> encrypted_verifier_hash;  // 20 bytes (RC4), 32 (AES)
    std::uint32_t standard_spin_count = 0;
};

// True when the header page (its masked area already unmasked) of an ACE
// file (version byte 2 or later) marks Office encryption: a non-zero
// encoding key at 0x3E and a provider record at 0x299. Jet 3 and Jet 4
// files answer false whatever they hold there (a non-zero key in a Jet 4
// file is its own RC4 page encoding).
bool has_office_encryption(std::span<const std::uint8_t> header);

// Decodes the provider record of such a header page. Throws jet::Error
// naming `path` when the record is damaged or of a kind not supported
// (extensible encryption, plain RC4 of version 1.1).
OfficeEncryptionInfo parse_office_encryption(std::span<const std::uint8_t> header,
                                             std::string_view path);

class OfficeCrypt;

// What the page file asks at open: given the header page as read from
// disk (masked area still masked), the unlocked cipher when the file is an
// Office-encrypted ACE file, nullptr when it is not encrypted that way.
// Throws as parse_office_encryption and OfficeCrypt::unlock do.
std::unique_ptr<OfficeCrypt> open_office_encryption(std::span<const std::uint8_t> raw_header,
                                                    std::string_view password, std::string_view path);

// The unlocked cipher of a file: checks the password against the record's
// verifier once, then decrypts and encrypts pages by number.
class OfficeCrypt {
public:
    // Throws jet::Error with kBadPasswordMessage when `password` (UTF-8;
    // empty when none was given) is not the file's, and jet::Error naming
    // `path` when the record's parameters are unusable.
    static std::unique_ptr<OfficeCrypt> unlock(const OfficeEncryptionInfo& info,
                                               std::string_view password, std::string_view path);
    ~OfficeCrypt();
    OfficeCrypt(const OfficeCrypt&) = delete;
    OfficeCrypt& operator=(const OfficeCrypt&) = delete;

    OfficeCryptKind kind() const;

    // Page `number` (1 or more; page 0 is never encrypted) in place. An agile
    // page must be a whole number of cipher blocks (every page size is).
    void decrypt_page(std::uint32_t number, std::span<std::uint8_t> page) const;
    void encrypt_page(std::uint32_t number, std::span<std::uint8_t> page) const;

private:
    OfficeCrypt();
    void apply_page(bool encrypt, std::uint32_t number, std::span<std::uint8_t> page) const;
    struct State;
    std::unique_ptr<State> state_;
};

// A new agile provider for `password`: fresh random salts, encoding key and
// page key (OpenSSL's RAND_bytes), AES-256-CBC and SHA-512 with 100000
// spins, as Access 2010 and later write it. `record` is the provider record
// as it goes after the uint16 length at 0x299; `encoding_key` the four
// bytes for 0x3E.
struct NewOfficeEncryption {
    std::vector<std::uint8_t> record;
    std::uint8_t encoding_key[4] = {};
};
NewOfficeEncryption make_agile_encryption(std::string_view password, std::uint32_t spin_count = 100000);

// Makes the plain ACE file at `path` an agile-encrypted one with
// `password`, in place: the header page gets the new encoding key (under
// its mask) and the provider record, every later page is encrypted.
// Meant for a file this program has just written (the target of a run),
// never for a source. Throws jet::Error when the file is not a plain ACE
// file, its header has no room for the record, or it cannot be written.
void encrypt_ace_file(const std::string& path, std::string_view password);

}  // namespace jet
