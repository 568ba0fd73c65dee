// The EAP root certificate of the WLAN and authentication pages: the
// choice among the self-signed CA files of /flash ("<hash>.0"), made the
// root by the link "/flash/cert_root.pem".
#include <dirent.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/file/paths.h"
#include "web/http/httprequest.h"
#include "web/settings/settingspages.h"

namespace {

constexpr char kRootLink[] = "/flash/cert_root.pem";

bool isHashedCaName(const char* name) {
  if (std::strlen(name) != 10 || std::strcmp(name + 8, ".0") != 0) return false;
  for (int i = 0; i < 8; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

// The file the root link names (its last path part), "" when no link.
std::string rootLinkTarget() {
  char target[512];
  const ssize_t n = ::readlink(mapPath(kRootLink).c_str(), target, sizeof target - 1);
  if (n <= 0) return std::string();
  target[n] = '\0';
  const char* slash = std::strrchr(target, '/');
  return slash != nullptr ? slash + 1 : target;
}

struct CaFile {
  std::string name;
  std::string commonName;
  unsigned long subjectHash = 0;
  unsigned long issuerHash = 0;
};

// Reads a certificate (PEM, else DER); false when the file is no certificate.
bool readCaFile(const std::string& path, CaFile& out) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr);
  if (cert == nullptr) {
    std::rewind(file);
    cert = d2i_X509_fp(file, nullptr);
  }
  std::fclose(file);
  ERR_clear_error();
  if (cert == nullptr) return false;
  char cn[256] = "";
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) < 0) cn[0] = '\0';
  out.commonName = cn;
  out.subjectHash = X509_subject_name_hash(cert);
  out.issuerHash = X509_issuer_name_hash(cert);
  X509_free(cert);
  return true;
}

}  // namespace

int chooseEapRoot(const char* choice) {
  if (choice == nullptr) return 0;
  const std::string link = mapPath(kRootLink);
  struct stat st;
  if (*choice == '\0' || std::strcmp(choice, "---") == 0) {
    // Only the link goes; an imported root file stays.
    if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return ::unlink(link.c_str()) == 0 ? 1 : 0;
    return 0;
  }
  if (!isHashedCaName(choice)) return 0;
  const std::string file = mapPath(std::string("/flash/") + choice);
  if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  // The new link replaces the old one in one step.
  const std::string temporary = link + ".new";
  ::unlink(temporary.c_str());
  if (::symlink(choice, temporary.c_str()) != 0) return 0;
  if (::rename(temporary.c_str(), link.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return 0;
  }
  return 1;
}

int listEapRootCerts(HttpRequest& request) {
  int n = 0;
  struct stat st;
  const bool rootFile = ::stat(mapPath(kRootLink).c_str(), &st) == 0 && st.st_size >= 512;
  if (!rootFile) {
    // "no root certificate" is the first choice and the chosen one.
    ++n;
    request.setIndexedVariable("Root_", n, "---");
    request.setIndexedVariable("EAProot_", n, "1");
  }
  const std::string directory = mapPath("/flash");
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(dir))
      if (std::strlen(entry->d_name) == 10 && std::strcmp(entry->d_name + 8, ".0") == 0) names.push_back(entry->d_name);
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  const std::string linked = rootLinkTarget();
  for (const std::string& name : names) {
    CaFile ca;
    if (!readCaFile(directory + "/" + name, ca)) {
      // A page view never deletes: the file may be in use or of a kind
      // this reader does not know.
      std::fprintf(stderr, "listEapRootCerts: %s is no readable certificate, not listed\n", name.c_str());
      continue;
    }
    if (ca.subjectHash != ca.issuerHash) continue;
    ++n;
    if (!linked.empty() && linked == name) request.setIndexedVariable("EAProot_", n, "1");
    request.setIndexedVariable("Root_", n, ca.commonName.c_str());
    request.printfIndexedVariable("OHash_", n, "%08lx", ca.subjectHash);
  }
  request.printfVariable("Root#", "%d", n);
  return n;
}
