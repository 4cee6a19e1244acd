// Simulated registry: a tree of keys per hive, values with exact bytes and
// types, handles with their granted access, subtree permissions and the
// WOW64 redirection of HKLM\Software for a 32-bit process.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/core.h"
#include "platform/sim/ctl/registry.h"
#include "platform/sim/registry.h"

namespace simwin {
namespace {

#define SIM_MAXIMUM_ALLOWED 0x02000000u
#define SIM_GENERIC_ALL 0x10000000u
#define SIM_GENERIC_EXECUTE 0x20000000u
#define SIM_GENERIC_WRITE 0x40000000u
#define SIM_GENERIC_READ 0x80000000u

// Case folding of ASCII letters; a GBK lead byte and its trail byte are kept
// as they are, so trail bytes in the letter range do not fold.
std::string Fold(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x81 && c <= 0xFE && i + 1 < s.size()) {
      out += s[i];
      out += s[++i];
    } else {
      out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : s[i];
    }
  }
  return out;
}
bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && Fold(a) == Fold(b);
}

struct Value {
  std::string name;
  DWORD type;
  std::string bytes;
};

struct Node {
  std::string name;
  std::vector<std::shared_ptr<Node>> children;
  std::vector<Value> values;  // in creation order
  Node* parent = nullptr;
  bool deleted = false;

  std::shared_ptr<Node> Child(const std::string& n) const {
    for (auto& c : children)
      if (SameName(c->name, n)) return c;
    return nullptr;
  }
  Value* FindValue(const std::string& n) {
    for (auto& v : values)
      if (SameName(v.name, n)) return &v;
    return nullptr;
  }
};

enum class View { V32, V64, Raw };

struct KeyHandle {
  HKEY root;
  std::vector<std::string> logical;  // path below the hive as the caller named it
  View view;
  REGSAM granted;
  std::shared_ptr<Node> node;
};

struct Rule {
  HKEY root;
  std::vector<std::string> path;  // physical, folded
  bool denyAll;                   // false: write denied only
};

struct State {
  std::mutex lock;
  std::map<uintptr_t, std::shared_ptr<Node>> hives;
  std::map<uintptr_t, KeyHandle> handles;
  uintptr_t nextHandle = 0x7A000000;
  std::vector<Rule> rules;
  std::vector<REGSAM> masks;
  bool wow64 = true;
};
State& S() {
  static State s;
  return s;
}

bool IsPredefined(HKEY h) {
  return h == HKEY_CLASSES_ROOT || h == HKEY_CURRENT_USER || h == HKEY_LOCAL_MACHINE ||
         h == HKEY_USERS;
}

std::shared_ptr<Node> Hive(HKEY root) {
  auto& slot = S().hives[reinterpret_cast<uintptr_t>(root)];
  if (!slot) slot = std::make_shared<Node>();
  return slot;
}

// Splits a sub-key path. A leading backslash or an empty inner component is
// a bad path; one trailing backslash is tolerated.
bool SplitPath(const char* sub, std::vector<std::string>* out) {
  out->clear();
  if (!sub || !*sub) return true;
  std::string s(sub);
  if (s[0] == '\\') return false;
  if (s.back() == '\\') s.pop_back();
  size_t start = 0;
  while (true) {
    size_t p = s.find('\\', start);
    std::string part = s.substr(start, p == std::string::npos ? std::string::npos : p - start);
    if (part.empty()) return false;
    out->push_back(part);
    if (p == std::string::npos) break;
    start = p + 1;
  }
  return true;
}

std::vector<std::string> Physical(HKEY root, std::vector<std::string> logical, View view) {
  if (view == View::V32 && root == HKEY_LOCAL_MACHINE && !logical.empty() &&
      SameName(logical[0], "Software") &&
      !(logical.size() >= 2 && SameName(logical[1], "Wow6432Node")))
    logical.insert(logical.begin() + 1, "Wow6432Node");
  return logical;
}

View CallView(REGSAM sam, const KeyHandle* parent) {
  if (sam & KEY_WOW64_64KEY) return View::V64;
  if (sam & KEY_WOW64_32KEY) return View::V32;
  if (parent) return parent->view;
  return S().wow64 ? View::V32 : View::V64;
}

View CtlView(RegView v) {
  switch (v) {
    case RegView::Reg32:
      return View::V32;
    case RegView::Reg64:
      return View::V64;
    case RegView::Raw:
      return View::Raw;
    case RegView::Program:
      break;
  }
  return S().wow64 ? View::V32 : View::V64;
}

REGSAM MapGeneric(REGSAM sam) {
  REGSAM r = sam & ~(SIM_GENERIC_ALL | SIM_GENERIC_EXECUTE | SIM_GENERIC_WRITE | SIM_GENERIC_READ);
  if (sam & SIM_GENERIC_READ) r |= KEY_READ;
  if (sam & SIM_GENERIC_EXECUTE) r |= KEY_EXECUTE;
  if (sam & SIM_GENERIC_WRITE) r |= KEY_WRITE;
  if (sam & SIM_GENERIC_ALL) r |= KEY_ALL_ACCESS;
  return r & ~static_cast<REGSAM>(KEY_WOW64_RES);
}

// The strictest rule covering a physical path: 0 none, 1 write denied, 2 all denied.
int Restriction(HKEY root, const std::vector<std::string>& phys) {
  int worst = 0;
  for (const Rule& r : S().rules) {
    if (r.root != root || r.path.size() > phys.size()) continue;
    bool prefix = true;
    for (size_t i = 0; i < r.path.size() && prefix; ++i) prefix = Fold(phys[i]) == r.path[i];
    if (prefix) worst = std::max(worst, r.denyAll ? 2 : 1);
  }
  return worst;
}

// Access actually granted for `sam` on a key at `phys`, or false when denied.
bool Grant(HKEY root, const std::vector<std::string>& phys, REGSAM sam, REGSAM* granted) {
  REGSAM want = MapGeneric(sam);
  int restriction = Restriction(root, phys);
  if (restriction == 2) return false;
  const REGSAM readOnly = KEY_READ;
  if (want & SIM_MAXIMUM_ALLOWED) {
    *granted = restriction ? readOnly : KEY_ALL_ACCESS;
    return true;
  }
  if (restriction == 1 && (want & ~readOnly)) return false;
  *granted = want;
  return true;
}

std::shared_ptr<Node> Walk(std::shared_ptr<Node> from, const std::vector<std::string>& path,
                           size_t begin = 0) {
  for (size_t i = begin; from && i < path.size(); ++i) from = from->Child(path[i]);
  return from;
}

std::shared_ptr<Node> MakePath(std::shared_ptr<Node> from, const std::vector<std::string>& path) {
  for (const auto& part : path) {
    auto c = from->Child(part);
    if (!c) {
      c = std::make_shared<Node>();
      c->name = part;
      c->parent = from.get();
      from->children.push_back(c);
    }
    from = c;
  }
  return from;
}

void MarkDeleted(Node* n) {
  n->deleted = true;
  for (auto& c : n->children) MarkDeleted(c.get());
}

void Unlink(Node* n) {
  MarkDeleted(n);
  if (!n->parent) return;
  auto& sib = n->parent->children;
  sib.erase(std::remove_if(sib.begin(), sib.end(),
                           [&](const std::shared_ptr<Node>& c) { return c.get() == n; }),
            sib.end());
}

HKEY AddKeyHandle(KeyHandle kh) {
  uintptr_t v = S().nextHandle;
  S().nextHandle += 4;
  S().handles[v] = std::move(kh);
  return reinterpret_cast<HKEY>(v);
}

// Resolves the handle an API call starts from. Predefined keys act as handles
// with every right on the hive root.
bool BaseOf(HKEY h, KeyHandle* out) {
  if (IsPredefined(h)) {
    *out = KeyHandle{h, {}, View::Raw, KEY_ALL_ACCESS, Hive(h)};  // view comes from each call
    return true;
  }
  auto it = S().handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == S().handles.end()) return false;
  *out = it->second;
  return true;
}

LSTATUS OpenOrCreate(HKEY hKey, LPCSTR lpSubKey, REGSAM sam, bool create, PHKEY phkResult,
                     LPDWORD disposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  KeyHandle base;
  if (!BaseOf(hKey, &base)) return ERROR_INVALID_HANDLE;
  if (base.node->deleted) return ERROR_KEY_DELETED;
  std::vector<std::string> sub;
  if (!SplitPath(lpSubKey, &sub)) return ERROR_BAD_PATHNAME;
  const bool predefined = IsPredefined(hKey);
  View view = CallView(sam, predefined ? nullptr : &base);
  std::vector<std::string> logical = base.logical;
  logical.insert(logical.end(), sub.begin(), sub.end());
  std::vector<std::string> phys = Physical(base.root, logical, view);
  HKEY root = base.root;
  auto hive = Hive(root);
  auto node = Walk(hive, phys);
  DWORD disp = REG_OPENED_EXISTING_KEY;
  if (!node || node->deleted) {
    if (!create) return ERROR_FILE_NOT_FOUND;
    if (!(base.granted & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    // Every key that would be made must lie outside a restricted subtree.
    std::vector<std::string> prefix;
    for (size_t i = 0; i < phys.size(); ++i) {
      prefix.push_back(phys[i]);
      if (!Walk(hive, prefix) && Restriction(root, prefix)) return ERROR_ACCESS_DENIED;
    }
    node = MakePath(hive, phys);
    disp = REG_CREATED_NEW_KEY;
  }
  REGSAM granted = 0;
  if (!Grant(root, phys, sam, &granted)) return ERROR_ACCESS_DENIED;
  *phkResult = AddKeyHandle(KeyHandle{root, logical, view, granted, node});
  if (disposition) *disposition = disp;
  return ERROR_SUCCESS;
}

std::vector<std::string> CtlPath(HKEY root, const std::string& path, RegView view) {
  std::vector<std::string> parts;
  SplitPath(path.c_str(), &parts);
  View v = CtlView(view);
  return v == View::Raw ? parts : Physical(root, parts, v);
}

struct RegistryReset {
  RegistryReset() {
    core::OnReset([] {
      std::lock_guard<std::mutex> g(S().lock);
      for (auto& h : S().hives) MarkDeleted(h.second.get());
      S().hives.clear();
      S().handles.clear();
      S().rules.clear();
      S().masks.clear();
      S().wow64 = true;
    });
  }
};
RegistryReset g_registryReset;

}  // namespace

void SetRegWow64Process(bool wow64) {
  std::lock_guard<std::mutex> g(S().lock);
  S().wow64 = wow64;
}

void CreateRegKey(HKEY root, const std::string& path, RegView view) {
  std::lock_guard<std::mutex> g(S().lock);
  MakePath(Hive(root), CtlPath(root, path, view));
}

bool RegKeyExists(HKEY root, const std::string& path, RegView view) {
  std::lock_guard<std::mutex> g(S().lock);
  return Walk(Hive(root), CtlPath(root, path, view)) != nullptr;
}

void SetRegValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                 const std::string& bytes, RegView view) {
  std::lock_guard<std::mutex> g(S().lock);
  auto node = MakePath(Hive(root), CtlPath(root, path, view));
  if (Value* v = node->FindValue(name)) {
    v->type = type;
    v->bytes = bytes;
  } else {
    node->values.push_back(Value{name, type, bytes});
  }
}

void SetRegString(HKEY root, const std::string& path, const std::string& name,
                  const std::string& text, RegView view) {
  SetRegValue(root, path, name, REG_SZ, text + std::string(1, '\0'), view);
}

bool GetRegValue(HKEY root, const std::string& path, const std::string& name, RegValueData* out,
                 RegView view) {
  std::lock_guard<std::mutex> g(S().lock);
  auto node = Walk(Hive(root), CtlPath(root, path, view));
  if (!node) return false;
  Value* v = node->FindValue(name);
  if (!v) return false;
  if (out) {
    out->type = v->type;
    out->bytes = v->bytes;
  }
  return true;
}

bool DeleteRegValue(HKEY root, const std::string& path, const std::string& name, RegView view) {
  std::lock_guard<std::mutex> g(S().lock);
  auto node = Walk(Hive(root), CtlPath(root, path, view));
  if (!node) return false;
  auto& vals = node->values;
  auto it = std::find_if(vals.begin(), vals.end(),
                         [&](const Value& v) { return SameName(v.name, name); });
  if (it == vals.end()) return false;
  vals.erase(it);
  return true;
}

bool DeleteRegTree(HKEY root, const std::string& path, RegView view) {
  std::lock_guard<std::mutex> g(S().lock);
  auto phys = CtlPath(root, path, view);
  if (phys.empty()) return false;
  auto node = Walk(Hive(root), phys);
  if (!node) return false;
  Unlink(node.get());
  return true;
}

std::vector<std::string> ListRegSubKeys(HKEY root, const std::string& path, RegView view) {
  std::lock_guard<std::mutex> g(S().lock);
  std::vector<std::string> out;
  if (auto node = Walk(Hive(root), CtlPath(root, path, view)))
    for (auto& c : node->children) out.push_back(c->name);
  return out;
}

std::vector<std::string> ListRegValues(HKEY root, const std::string& path, RegView view) {
  std::lock_guard<std::mutex> g(S().lock);
  std::vector<std::string> out;
  if (auto node = Walk(Hive(root), CtlPath(root, path, view)))
    for (auto& v : node->values) out.push_back(v.name);
  return out;
}

static void AddRule(HKEY root, const std::string& path, RegView view, bool denyAll) {
  std::lock_guard<std::mutex> g(S().lock);
  Rule r{root, {}, denyAll};
  for (auto& p : CtlPath(root, path, view)) r.path.push_back(Fold(p));
  S().rules.push_back(r);
}
void DenyRegWrite(HKEY root, const std::string& path, RegView view) {
  AddRule(root, path, view, false);
}
void DenyRegAccess(HKEY root, const std::string& path, RegView view) {
  AddRule(root, path, view, true);
}

void ClearRegPermissions() {
  std::lock_guard<std::mutex> g(S().lock);
  S().rules.clear();
}

REGSAM LastRegAccessMask() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().masks.empty() ? 0 : S().masks.back();
}

std::vector<REGSAM> RegAccessMasks() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().masks;
}

size_t OpenRegKeyCount() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().handles.size();
}

}  // namespace simwin

using namespace simwin;

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult) {
  std::lock_guard<std::mutex> g(S().lock);
  S().masks.push_back(samDesired);
  DWORD err;
  if (core::TakeFault("RegOpenKeyExA", &err)) return static_cast<LSTATUS>(err);
  if (ulOptions & ~static_cast<DWORD>(REG_OPTION_OPEN_LINK)) return ERROR_INVALID_PARAMETER;
  return OpenOrCreate(hKey, lpSubKey, samDesired, false, phkResult, nullptr);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                        LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  std::lock_guard<std::mutex> g(S().lock);
  S().masks.push_back(samDesired);
  DWORD err;
  if (core::TakeFault("RegCreateKeyExA", &err)) return static_cast<LSTATUS>(err);
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return OpenOrCreate(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
  std::lock_guard<std::mutex> g(S().lock);
  DWORD err;
  if (core::TakeFault("RegQueryValueExA", &err)) return static_cast<LSTATUS>(err);
  KeyHandle h;
  if (!BaseOf(hKey, &h)) return ERROR_INVALID_HANDLE;
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  if (h.node->deleted) return ERROR_KEY_DELETED;
  if (!(h.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Value* v = h.node->FindValue(lpValueName ? lpValueName : "");
  if (!v) return ERROR_FILE_NOT_FOUND;
  const DWORD size = static_cast<DWORD>(v->bytes.size());
  if (lpType) *lpType = v->type;
  if (!lpData) {
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size) std::memcpy(lpData, v->bytes.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE* lpData, DWORD cbData) {
  std::lock_guard<std::mutex> g(S().lock);
  DWORD err;
  if (core::TakeFault("RegSetValueExA", &err)) return static_cast<LSTATUS>(err);
  KeyHandle h;
  if (!BaseOf(hKey, &h)) return ERROR_INVALID_HANDLE;
  if (Reserved) return ERROR_INVALID_PARAMETER;
  if (!lpData && cbData) return ERROR_NOACCESS;
  if (h.node->deleted) return ERROR_KEY_DELETED;
  if (!(h.granted & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string bytes(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
  std::string name = lpValueName ? lpValueName : "";
  if (Value* v = h.node->FindValue(name)) {
    v->type = dwType;
    v->bytes = bytes;
  } else {
    h.node->values.push_back(Value{name, dwType, bytes});
  }
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::lock_guard<std::mutex> g(S().lock);
  DWORD err;
  if (core::TakeFault("RegDeleteValueA", &err)) return static_cast<LSTATUS>(err);
  KeyHandle h;
  if (!BaseOf(hKey, &h)) return ERROR_INVALID_HANDLE;
  if (h.node->deleted) return ERROR_KEY_DELETED;
  if (!(h.granted & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string name = lpValueName ? lpValueName : "";
  auto& vals = h.node->values;
  auto it = std::find_if(vals.begin(), vals.end(),
                         [&](const Value& v) { return SameName(v.name, name); });
  if (it == vals.end()) return ERROR_FILE_NOT_FOUND;
  vals.erase(it);
  return ERROR_SUCCESS;
}

static LSTATUS DeleteKey(HKEY hKey, LPCSTR lpSubKey, REGSAM sam) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  KeyHandle base;
  if (!BaseOf(hKey, &base)) return ERROR_INVALID_HANDLE;
  if (base.node->deleted) return ERROR_KEY_DELETED;
  std::vector<std::string> sub;
  if (!SplitPath(lpSubKey, &sub)) return ERROR_BAD_PATHNAME;
  const bool predefined = IsPredefined(hKey);
  View view = CallView(sam, predefined ? nullptr : &base);
  std::vector<std::string> logical = base.logical;
  logical.insert(logical.end(), sub.begin(), sub.end());
  if (logical.empty()) return ERROR_ACCESS_DENIED;  // a hive root
  std::vector<std::string> phys = Physical(base.root, logical, view);
  auto node = Walk(Hive(base.root), phys);
  if (!node) return ERROR_FILE_NOT_FOUND;
  if (Restriction(base.root, phys)) return ERROR_ACCESS_DENIED;
  if (!node->children.empty()) return ERROR_ACCESS_DENIED;
  Unlink(node.get());
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  std::lock_guard<std::mutex> g(S().lock);
  DWORD err;
  if (core::TakeFault("RegDeleteKeyA", &err)) return static_cast<LSTATUS>(err);
  return DeleteKey(hKey, lpSubKey, 0);
}

LSTATUS RegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, DWORD Reserved) {
  std::lock_guard<std::mutex> g(S().lock);
  S().masks.push_back(samDesired);
  DWORD err;
  if (core::TakeFault("RegDeleteKeyExA", &err)) return static_cast<LSTATUS>(err);
  if (Reserved) return ERROR_INVALID_PARAMETER;
  return DeleteKey(hKey, lpSubKey, samDesired);
}

LSTATUS RegCloseKey(HKEY hKey) {
  std::lock_guard<std::mutex> g(S().lock);
  DWORD err;
  if (core::TakeFault("RegCloseKey", &err)) return static_cast<LSTATUS>(err);
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  return S().handles.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS
                                                              : ERROR_INVALID_HANDLE;
}
