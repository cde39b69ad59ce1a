// Process helpers: becoming a daemon, giving up root privileges, and the
// process id of the caller.
#ifndef VELTO_RUNTIME_PROCESS_H
#define VELTO_RUNTIME_PROCESS_H

// Forks. Returns -1 if fork failed, 1 in the parent (which should exit 0),
// 0 in the child, which then has descriptors 0..1023 closed, a new session,
// and /dev/null on descriptors 0, 1 and 2.
int daemonize(void);

// Sets real, effective and saved group ids to the group's id. Returns 1 if
// the group is unknown, else the result of setresgid (0 on success).
int drop_to_group(const char *name);

// Sets real, effective and saved user ids to the user's id. Returns 1 if the
// user is unknown, else the result of setresuid (0 on success).
int drop_to_user(const char *name);

// Gives up root for good: the group is the named one, or without a name the
// user's primary group; the supplementary groups become the user's own
// (initgroups), or none when only a group is named. They are set in the
// order in which the process still has the right to set them:
// supplementary groups, then the group, then the user. Null user and group:
// nothing to do. A process that is not root succeeds only if it already has
// the ids asked for. Returns 0, or -1 with *failed set to "user" or
// "group" (the name that could not be taken on); the process's ids may then
// be half changed, and it must not go on.
int drop_privileges(const char *user, const char *group, const char **failed);

// This process's id, asked of the kernel once per process: the cache is
// dropped in the child of every fork (an atfork handler). Messages carry
// the id several times per stored image.
int process_pid(void);

#endif
