#include "platform/Credentials.h"

#include <libsecret/secret.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/SharedLibrary.h"

namespace credentials {

namespace {

// libsecret is loaded when the store is first used, not linked: with it come
// GIO and its own dependencies, about 150 KB of private memory at start-up
// that a program sending without an account, or idle between checks, never
// needs. GLib's functions answer through the same handle (its dependencies).
constexpr const char* kLibSecret = "libsecret-1.so.0";

// The functions this file calls, and the error domains it tells apart (their
// macros are calls to these quark functions).
struct TSecretApi {
  decltype(&::g_object_unref) object_unref = nullptr;
  decltype(&::g_error_free) error_free = nullptr;
  decltype(&::g_io_error_quark) io_error_quark = nullptr;
  decltype(&::g_dbus_error_quark) dbus_error_quark = nullptr;
  decltype(&::g_cancellable_new) cancellable_new = nullptr;
  decltype(&::g_cancellable_cancel) cancellable_cancel = nullptr;
  decltype(&::g_bus_get_sync) bus_get_sync = nullptr;
  decltype(&::g_dbus_connection_set_exit_on_close) dbus_connection_set_exit_on_close = nullptr;
  decltype(&::g_hash_table_new) hash_table_new = nullptr;
  decltype(&::g_hash_table_insert) hash_table_insert = nullptr;
  decltype(&::g_hash_table_unref) hash_table_unref = nullptr;
  decltype(&::g_str_hash) str_hash = nullptr;
  decltype(&::g_str_equal) str_equal = nullptr;
  decltype(&::secret_service_get_sync) service_get_sync = nullptr;
  decltype(&::secret_service_disconnect) service_disconnect = nullptr;
  decltype(&::secret_service_store_sync) service_store_sync = nullptr;
  decltype(&::secret_service_lookup_sync) service_lookup_sync = nullptr;
  decltype(&::secret_service_clear_sync) service_clear_sync = nullptr;
  decltype(&::secret_value_new) value_new = nullptr;
  decltype(&::secret_value_get) value_get = nullptr;
  decltype(&::secret_value_unref) value_unref = nullptr;
};

std::optional<TSecretApi> LoadSecretApi() {
  const std::unique_ptr<TSharedLibrary> lib = TSharedLibrary::Load(kLibSecret);
  if (!lib) return std::nullopt;
  TSecretApi f;
  const bool all =
      Bind(f.object_unref, *lib, "g_object_unref") && Bind(f.error_free, *lib, "g_error_free") &&
      Bind(f.io_error_quark, *lib, "g_io_error_quark") &&
      Bind(f.dbus_error_quark, *lib, "g_dbus_error_quark") &&
      Bind(f.cancellable_new, *lib, "g_cancellable_new") &&
      Bind(f.cancellable_cancel, *lib, "g_cancellable_cancel") &&
      Bind(f.bus_get_sync, *lib, "g_bus_get_sync") &&
      Bind(f.dbus_connection_set_exit_on_close, *lib, "g_dbus_connection_set_exit_on_close") &&
      Bind(f.hash_table_new, *lib, "g_hash_table_new") &&
      Bind(f.hash_table_insert, *lib, "g_hash_table_insert") &&
      Bind(f.hash_table_unref, *lib, "g_hash_table_unref") &&
      Bind(f.str_hash, *lib, "g_str_hash") && Bind(f.str_equal, *lib, "g_str_equal") &&
      Bind(f.service_get_sync, *lib, "secret_service_get_sync") &&
      Bind(f.service_disconnect, *lib, "secret_service_disconnect") &&
      Bind(f.service_store_sync, *lib, "secret_service_store_sync") &&
      Bind(f.service_lookup_sync, *lib, "secret_service_lookup_sync") &&
      Bind(f.service_clear_sync, *lib, "secret_service_clear_sync") &&
      Bind(f.value_new, *lib, "secret_value_new") && Bind(f.value_get, *lib, "secret_value_get") &&
      Bind(f.value_unref, *lib, "secret_value_unref");
  // The library stays mapped after lib is gone (TSharedLibrary).
  if (!all) return std::nullopt;
  return f;
}

// The functions, loaded on first use; null when the library or one of them is
// missing, which every call reports as a store that nobody serves.
const TSecretApi* Api() {
  static const std::optional<TSecretApi> api = LoadSecretApi();
  return api ? &*api : nullptr;
}

// What a call reports when libsecret cannot be used.
TOutcome NoLibrary() {
  return {TStatus::Unavailable,
          std::string("No credential store answers: ") + kLibSecret + " cannot be loaded"};
}

// What the item is shown as in the user's keyring manager.
constexpr const char* kLabelPrefix = "Corvale mail password for ";

// The program's items: the account's server and user name say which one.
const SecretSchema* Schema() {
  static const SecretSchema schema = {
      .name = "org.corvale.Corvale.MailPassword",
      .flags = SECRET_SCHEMA_NONE,
      .attributes = {{"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
                     {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
                     {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
      .reserved = 0,
      .reserved1 = nullptr,
      .reserved2 = nullptr,
      .reserved3 = nullptr,
      .reserved4 = nullptr,
      .reserved5 = nullptr,
      .reserved6 = nullptr,
      .reserved7 = nullptr,
  };
  return &schema;
}

struct TUnref {
  void operator()(gpointer P) const { Api()->object_unref(P); }
};
template <class T>
using TRef = std::unique_ptr<T, TUnref>;

// One GError slot, freed with itself.
struct TError {
  GError* E = nullptr;
  ~TError() {
    if (E) Api()->error_free(E);
  }
  GError** operator&() { return &E; }
  std::string Text() const { return E && E->message ? E->message : "unknown error"; }
};

// Cancels a call that has run for kStoreTimeoutMs: a bus or a service that
// takes the connection but never answers (or a keyring that waits for an
// unlock prompt nobody can see) must not hold the program.
class TDeadline {
 public:
  explicit TDeadline(GCancellable* Cancellable)
      : FWatch([this, Cancellable] {
          std::unique_lock<std::mutex> lock(FMutex);
          if (!FDone.wait_for(lock, std::chrono::milliseconds(kStoreTimeoutMs),
                              [this] { return FFinished; })) {
            FExpired = true;
            Api()->cancellable_cancel(Cancellable);
          }
        }) {}
  ~TDeadline() {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FFinished = true;
    }
    FDone.notify_all();
    FWatch.join();
  }
  TDeadline(const TDeadline&) = delete;
  TDeadline& operator=(const TDeadline&) = delete;
  bool Expired() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FExpired;
  }

 private:
  std::mutex FMutex;
  std::condition_variable FDone;
  bool FFinished = false;
  bool FExpired = false;
  std::thread FWatch;  // last: started once the fields it reads are made
};

// Whether Error says that nobody serves the store (as opposed to a service
// that answered with a refusal).
bool NobodyAnswers(const GError* Error) {
  if (!Error) return false;
  if (Error->domain == Api()->io_error_quark())
    return Error->code == G_IO_ERROR_CANCELLED || Error->code == G_IO_ERROR_TIMED_OUT ||
           Error->code == G_IO_ERROR_NOT_FOUND || Error->code == G_IO_ERROR_CONNECTION_REFUSED ||
           Error->code == G_IO_ERROR_CLOSED || Error->code == G_IO_ERROR_BROKEN_PIPE;
  if (Error->domain == Api()->dbus_error_quark())
    return Error->code == G_DBUS_ERROR_SERVICE_UNKNOWN ||
           Error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER || Error->code == G_DBUS_ERROR_NO_REPLY ||
           Error->code == G_DBUS_ERROR_TIMEOUT || Error->code == G_DBUS_ERROR_TIMED_OUT ||
           Error->code == G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND ||
           Error->code == G_DBUS_ERROR_SPAWN_EXEC_FAILED ||
           Error->code == G_DBUS_ERROR_SPAWN_CHILD_EXITED ||
           Error->code == G_DBUS_ERROR_NO_SERVER || Error->code == G_DBUS_ERROR_DISCONNECTED ||
           Error->code == G_DBUS_ERROR_FILE_NOT_FOUND;
  return false;
}

// One use of the store, on the session bus and the service proxy that
// libsecret keeps for the process. The bus may go away (the session ends, a
// test's private bus stops): the connection is told not to end the process
// then, and a proxy that found no service is dropped, so that a service that
// starts later is found by the next call.
class TSession {
 public:
  TSession() : FCancel(Api()->cancellable_new()), FDeadline(FCancel.get()) {}
  ~TSession() {
    FService.reset();
    if (FDropService) Api()->service_disconnect();
  }
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  // Connects to the session bus and finds the service.
  TOutcome Open() {
    TError error;
    TRef<GDBusConnection> bus(Api()->bus_get_sync(G_BUS_TYPE_SESSION, FCancel.get(), &error));
    if (!bus) {
      if (FDeadline.Expired()) return Failure(error);
      return {TStatus::Unavailable,
              "No credential store answers: there is no session bus (" + error.Text() + ")"};
    }
    Api()->dbus_connection_set_exit_on_close(bus.get(), FALSE);
    FService.reset(Api()->service_get_sync(SECRET_SERVICE_NONE, FCancel.get(), &error));
    if (!FService) return Failure(error);
    return {};
  }

  // The outcome of a call that failed with Error.
  TOutcome Failure(const TError& Error) {
    FDropService = true;
    if (FDeadline.Expired())
      return {TStatus::Unavailable,
              "No credential store answers: the Secret Service did not "
              "answer within " +
                  std::to_string(kStoreTimeoutMs / 1000) + " seconds"};
    if (NobodyAnswers(Error.E))
      return {TStatus::Unavailable,
              "No credential store answers: the Secret Service cannot be reached (" + Error.Text() +
                  ")"};
    return {TStatus::Failed, "The Secret Service refused the request: " + Error.Text()};
  }

  SecretService* Service() const { return FService.get(); }
  GCancellable* Cancellable() const { return FCancel.get(); }

 private:
  TRef<GCancellable> FCancel;
  TDeadline FDeadline;
  TRef<SecretService> FService;
  bool FDropService = false;
};

// The attributes that name the account's item; the table borrows the texts.
struct TAttributes {
  TAttributes(const std::string& Server, const std::string& User)
      : Table(Api()->hash_table_new(Api()->str_hash, Api()->str_equal)) {
    Api()->hash_table_insert(Table, const_cast<char*>("server"), const_cast<char*>(Server.c_str()));
    Api()->hash_table_insert(Table, const_cast<char*>("user"), const_cast<char*>(User.c_str()));
  }
  ~TAttributes() { Api()->hash_table_unref(Table); }
  TAttributes(const TAttributes&) = delete;
  TAttributes& operator=(const TAttributes&) = delete;
  GHashTable* Table;
};

}  // namespace

const char* StoreName() {
  return "the Secret Service";
}

TOutcome StorePassword(const std::string& Server, const std::string& User,
                       const std::string& Password) {
  if (Password.size() > kMaxPasswordBytes)
    return {TStatus::Failed, "The password is longer than " + std::to_string(kMaxPasswordBytes) +
                                 " bytes, more than the credential store keeps"};
  if (!Api()) return NoLibrary();
  TSession session;
  if (TOutcome o = session.Open(); !o.Ok()) return o;
  TAttributes attributes(Server, User);
  SecretValue* value =
      Api()->value_new(Password.data(), static_cast<gssize>(Password.size()), "text/plain");
  const std::string label = kLabelPrefix + User + " on " + Server;
  TError error;
  const gboolean stored = Api()->service_store_sync(session.Service(), Schema(), attributes.Table,
                                                    SECRET_COLLECTION_DEFAULT, label.c_str(), value,
                                                    session.Cancellable(), &error);
  Api()->value_unref(value);
  if (!stored) return session.Failure(error);
  return {};
}

TOutcome ReadPassword(const std::string& Server, const std::string& User, std::string& Password) {
  Password.clear();
  if (!Api()) return NoLibrary();
  TSession session;
  if (TOutcome o = session.Open(); !o.Ok()) return o;
  TAttributes attributes(Server, User);
  TError error;
  SecretValue* value = Api()->service_lookup_sync(session.Service(), Schema(), attributes.Table,
                                                  session.Cancellable(), &error);
  if (!value) {
    if (error.E) return session.Failure(error);
    return {TStatus::NotFound, "No password is kept for " + User + " on " + Server};
  }
  gsize length = 0;
  const gchar* bytes = Api()->value_get(value, &length);
  Password.assign(bytes, length);
  Api()->value_unref(value);
  return {};
}

TOutcome DeletePassword(const std::string& Server, const std::string& User) {
  if (!Api()) return NoLibrary();
  TSession session;
  if (TOutcome o = session.Open(); !o.Ok()) return o;
  TAttributes attributes(Server, User);
  TError error;
  if (Api()->service_clear_sync(session.Service(), Schema(), attributes.Table,
                                session.Cancellable(), &error))
    return {};
  if (error.E) return session.Failure(error);
  return {TStatus::NotFound, "No password is kept for " + User + " on " + Server};
}

}  // namespace credentials
