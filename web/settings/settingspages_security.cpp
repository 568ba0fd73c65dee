// Settings pages of security: TLS levels and cipher details, web access,
// port-based authentication.
#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "runtime/text/gettext.h"
#include "runtime/tls/tlsconnection.h"
#include "web/http/httprequest.h"
#include "web/pages/pagehandlers.h"
#include "web/settings/pendingvalues.h"
#include "web/settings/settingsform.h"
#include "web/settings/settingspages.h"

namespace {

std::string escapeHtml(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::vector<std::string> wordsOf(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// A cipher description as two table cells (name, protocol) or, for the
// details page, as a list of its properties.
std::string formatCipherListCells(const std::string& description, bool asCells) {
  const std::vector<std::string> words = wordsOf(description);
  if (asCells) {
    const std::string first = words.size() > 0 ? escapeHtml(words[0]) : std::string();
    const std::string second = words.size() > 1 ? escapeHtml(words[1]) : std::string();
    return first + " </td><td> " + second;
  }
  std::string list;
  for (const std::string& word : words) {
    if (word.compare(0, 3, "SSL") == 0 || word.compare(0, 3, "TLS") == 0) continue;
    if (!list.empty()) list += ", ";
    list += escapeHtml(word);
  }
  return list;
}

std::string currentCipherDescription(HttpRequest& request) {
  if (request.connection == nullptr || request.connection->session == nullptr) return std::string();
  const SSL_CIPHER* cipher = SSL_get_current_cipher(request.connection->session);
  if (cipher == nullptr) return std::string();
  char text[256];
  if (SSL_CIPHER_description(cipher, text, sizeof text) == nullptr) return std::string();
  return text;
}

void addCipherTable(HttpRequest& request) {
  STACK_OF(SSL_CIPHER)* ciphers = SSL_get_ciphers(request.connection->session);
  const int count = ciphers != nullptr ? sk_SSL_CIPHER_num(ciphers) : 0;
  for (int n = 0; 2 * n < count; ++n) {
    std::string row;
    for (int i = 2 * n; i < 2 * n + 2 && i < count; ++i) {
      const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(ciphers, i);
      row += "<td>" + escapeHtml(SSL_CIPHER_get_name(cipher)) + "+" + escapeHtml(SSL_CIPHER_get_version(cipher)) +
             "</td>";
    }
    char name[32];
    std::snprintf(name, sizeof name, "Ciphers_%d", n);
    request.setMarkupVariable(name, row.c_str());
  }
  request.printfVariable("Ciphers#", "%d", count / 2);
}

// The library's version text without its first word: "3.0.11, 19 Sep 2023".
std::string libraryVersion() {
  const std::vector<std::string> words = wordsOf(OpenSSL_version(OPENSSL_VERSION));
  if (words.size() < 2) return std::string();
  std::string text = words[1] + ",";
  for (size_t i = 2; i < words.size(); ++i) text += " " + words[i];
  return text;
}

}  // namespace

int handleSslPage(HttpRequest& request) {
  const int result = runSettingsForm(request);
  if (result != 1) return result;
  const bool details = request.isPage("/security/details.html");
  const std::string cipher = currentCipherDescription(request);
  if (!cipher.empty()) {
    request.setMarkupVariable("CipherInfo", formatCipherListCells(cipher, !details).c_str());
    if (details) {
      request.setVariable("SSLEAY_VERSION", libraryVersion().c_str());
      addCipherTable(request);
    }
  } else if (!details) {
    request.setMarkupVariable("CipherInfo", "<td></td>");
  }
  IntParam* security = paramStore.findInt("security");
  const int level = security != nullptr ? security->value() : 0;
  const char* levelText = level == 1   ? getmuText("Low")
                          : level == 2 ? getmuText("Medium")
                          : level == 3 ? getmuText("High")
                          : level == 4 ? getmuText("Any")
                                       : nullptr;
  if (levelText != nullptr) request.setVariable("EncLevel", levelText);
  static const char* const kServices[] = {"ZovSSL", "Pop3SSL", "SmtpSSL"};
  for (int service = 0; service < 3; ++service) {
    const std::string text = recordedCipherDescription(service);
    if (!text.empty()) request.setMarkupVariable(kServices[service], formatCipherListCells(text, !details).c_str());
  }
  return 1;
}

int handleHttpSecurityPage(HttpRequest& request) {
  const int result = runSettingsForm(request);
  if (result != 1) return result;
  int administrators = 0;
  int users = 0;
  countLiveSessions(&administrators, &users);
  request.printfVariable("AnyOpenSess", "%d", users);
  request.printfVariable("AdmOpenSess", "%d", administrators);
  request.printfVariable("UsedSess", "%d", users + administrators);
  request.setVariable("AvailSess", "16");
  return 1;
}

int handleAuthenticationPage(HttpRequest& request) {
  const char* root = request.getFormValue("EAProot");
  if (root != nullptr) chooseEapRoot(root);
  const int result = runSettingsForm(request);
  if (result != 1) return result;
  listEapRootCerts(request);
  return 1;
}
