#include "tools/cardsim/CardProfile.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace qorx::cardsim {

namespace {

// Anything larger is not a certificate of ours; the read command addresses 64 KiB at most.
constexpr size_t kMaxCertificate = 0xFFFF - 2;

bool ReadFile(const std::string& path, Bytes* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad() || out->empty() || out->size() > kMaxCertificate) {
    *error = path + " is empty, unreadable or too large";
    return false;
  }
  return true;
}

bool EndsWith(const std::string& s, const char* suffix) {
  const std::string t = suffix;
  return s.size() > t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

using Context = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

}  // namespace

std::string ProfileFolder() {
  const char* folder = std::getenv("QORX_CARDSIM_PROFILES");
  if (folder != nullptr && *folder != 0) return folder;
  // Installed, the profiles are beside the program (PREFIX/bin, PREFIX/share/qorx-cardsim/cards)
  // and the source tree the build saw is not there.
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    const std::string program(self, static_cast<size_t>(n));
    const std::string bin = program.substr(0, program.rfind('/'));
    const std::string installed = bin.substr(0, bin.rfind('/')) + "/share/qorx-cardsim/cards";
    struct stat info;
    if (stat(installed.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return installed;
  }
  return QORX_CARDSIM_PROFILE_DIR;
}

std::shared_ptr<const CardProfile> CardProfile::Load(const std::string& nameOrPath,
                                                     std::string* error) {
  if (nameOrPath.empty()) {
    *error = "empty profile name";
    return nullptr;
  }
  std::string base = nameOrPath;
  if (EndsWith(base, ".der") || EndsWith(base, ".key")) base.resize(base.size() - 4);
  if (base.find('/') == std::string::npos) base = ProfileFolder() + "/" + base;

  std::shared_ptr<CardProfile> profile(new CardProfile);
  profile->name_ = nameOrPath;
  if (!ReadFile(base + ".der", &profile->certificate_, error)) return nullptr;

  const std::string keyPath = base + ".key";
  BIO* bio = BIO_new_file(keyPath.c_str(), "r");
  if (bio == nullptr) {
    *error = "cannot read " + keyPath;
    return nullptr;
  }
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    EVP_PKEY_free(key);
    *error = keyPath + " holds no RSA private key";
    return nullptr;
  }
  profile->key_.reset(key, EVP_PKEY_free);
  return profile;
}

size_t CardProfile::KeySize() const {
  return static_cast<size_t>(EVP_PKEY_get_size(key_.get()));
}

std::optional<Bytes> CardProfile::Decipher(const Bytes& block) const {
  if (block.size() != KeySize()) return std::nullopt;
  Context ctx(EVP_PKEY_CTX_new(key_.get(), nullptr), EVP_PKEY_CTX_free);
  Bytes out(KeySize());
  size_t length = out.size();
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0 ||
      EVP_PKEY_decrypt(ctx.get(), out.data(), &length, block.data(), block.size()) <= 0 ||
      length != out.size()) {
    Wipe(out);
    return std::nullopt;
  }
  return out;
}

std::optional<Bytes> CardProfile::Sign(const Bytes& data) const {
  Context ctx(EVP_PKEY_CTX_new(key_.get(), nullptr), EVP_PKEY_CTX_free);
  Bytes out(KeySize());
  size_t length = out.size();
  // Without a digest set, the padding goes straight around `data`: the card does not hash.
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_sign(ctx.get(), out.data(), &length, data.data(), data.size()) <= 0) {
    return std::nullopt;
  }
  out.resize(length);
  return out;
}

Bytes RandomBytes(size_t count) {
  Bytes out(count);
  if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1) std::abort();
  return out;
}

Bytes Sha1(const Bytes& data) {
  Bytes out(20);
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha1(), nullptr) != 1) {
    std::abort();
  }
  return out;
}

void Wipe(Bytes& bytes) {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

}  // namespace qorx::cardsim
