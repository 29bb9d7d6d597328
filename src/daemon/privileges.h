// Serving as an account of its own (the `user` setting): the switch of
// user once the agent has bound its port, opened its logs and written its
// pid file, and what the agent may still do afterwards. A process that gave
// up root cannot bind a port below 1024 again, so a restart or an upgrade
// hands its listening socket to the new image (HandOverListener), which
// takes it instead of binding one (TakeInheritedListener, AdoptListener).
//
// Main thread only, before the session workers start, except where a
// function says otherwise. Nothing throws.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "foundation/fd.h"
#include "foundation/qdstring.h"

// The account the agent serves as.
struct TUserIds {
    String name;                // the account's name (the uid in decimal when it has no entry)
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups, the primary one included
};

// Looks up `account`: an account name, or a uid in decimal. A name must have an
// entry in the user database; a uid without one serves with its own number
// as group and no other groups. False with err ("no such user 'x'") when
// there is no such account. Thread-safe.
bool ResolveUser(const String& account, TUserIds& ids, String& err);

// What becoming `ids` takes in this process.
enum class TUserSwitch {
    None,       // the process runs as that user and group already (a restart)
    Switch,     // the process is root: setgroups, setgid, setuid
    Impossible  // another user, without the rights to change
};
TUserSwitch UserSwitchNeeded(const TUserIds& ids);

// Becomes ids for good: supplementary groups (setgroups), then real,
// effective and saved group (setresgid) and user (setresuid), then checks
// that every id is the user's and, for a user other than root, that root
// cannot be regained (setuid(0) and setegid(0) must fail). Nothing to do for
// TUserSwitch::None. False with err (the failing step and the system's
// reason); a process whose checks fail must not serve.
bool BecomeUser(const TUserIds& ids, String& err);

// The start-up of a process started by root with a `user` setting, up to
// BecomeUser: every file it opens on a path taken from the configuration
// (which that user may rewrite) is opened with the user's rights, and root
// serves only to bind the listening socket.
//
// ActAsUser takes ids as the effective ids (supplementary groups, then
// group, then user), root staying in the real and saved ids, so the user
// cannot signal the process while it starts; it needs
// effective root (a process fresh from root, or after RaiseToRoot). False
// with err (the failing step and the system's reason); the process must
// then not go on. Nothing to do for a user that is root. Nothing may be
// executed between ActAsUser and BecomeUser: with a real id of root's, a new
// program would start as root.
bool ActAsUser(const TUserIds& ids, String& err);
// Takes effective root back from the saved ids (effective user, then
// effective group), for binding the port and for BecomeUser; the caller
// calls ActAsUser again once that is done. False with err when root cannot
// be regained.
bool RaiseToRoot(String& err);

// Whether the process serves under its `user` setting, so that a restart
// and an upgrade hand the listener on, and who that is ("user NAME", or
// "uid N" for a process that was started without root). Set once by main
// before the session workers start; read on the main thread.
void SetServingAsUser(const String& name);
bool ServingAsUser();
std::string ServingIdentity();

// Whether this process may bind TCP `port` now: root, CAP_NET_BIND_SERVICE
// in its effective set, or a port at or above the system's first
// unprivileged port (net.ipv4.ip_unprivileged_port_start, 1024 when it
// cannot be read). Any thread.
bool MayBindPort(int port);
// The system's first unprivileged port. Any thread.
int FirstUnprivilegedPort();

// The environment variable through which a replaced image finds the
// listening socket of its predecessor.
inline constexpr const char* kInheritedListenerVariable = "ZEL_LISTEN_FD";

// The socket named by kInheritedListenerVariable (which is removed from the
// environment), close-on-exec again; empty when there is none or it names
// no socket. Call first thing in main, before the environment changes.
TFd TakeInheritedListener();

// Whether `sock` (a listening socket) is bound to `port` on `host` ("" =
// every local address), as the settings name them. Any thread.
bool ListenerBoundTo(const TFd& sock, const String& host, int port);

// Whether `sock` (an inherited listener) is bound to `port` on `host`
// (ListenerBoundTo): when it is, it listens again (the predecessor shut it
// down) and true; else false, and the caller closes it.
bool AdoptListener(const TFd& sock, const String& host, int port);

// The environment of the image that takes over `sock`: envp with
// kInheritedListenerVariable naming it (any earlier value of the variable
// left out). The caller clears the socket's close-on-exec flag just before
// execve (ReplaceProcess). The pointers of the returned list point into
// `storage` and envp; both must outlive its use. With an empty sock, envp
// without the variable.
std::vector<char*> HandOverListener(const TFd& sock, char** envp, std::string& storage);
