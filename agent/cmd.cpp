#include "cmd.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>

#include "log.h"

char g_client_id[CLIENT_ID_LEN];

namespace {

// busybox before 1.30 takes "-t SECS"; later ones and coreutils take "SECS".
constexpr char PREFIX_OLD[] = "timeout -t 30 ";
constexpr char PREFIX_NEW[] = "timeout 30 ";
constexpr size_t CMD_LEN = 256;
// Room for the command after the prefix, whichever syntax the router has.
constexpr size_t ROOM = CMD_LEN - (sizeof(PREFIX_OLD) - 1);
static_assert(sizeof(PREFIX_NEW) - 1 + ROOM <= CMD_LEN, "the shorter prefix leaves the room");

// Asked of the router's own timeout once, on first use.
const char *prefix()
{
    static const char *chosen;
    if (chosen)
        return chosen;
    bool old = system("timeout -t 30 true >/dev/null 2>&1") == 0;
    chosen = old ? PREFIX_OLD : PREFIX_NEW;
    ovimar_log(OVIMAR_LOG_INFO, "commands run as: %s<command>\n", chosen);
    return chosen;
}

int capture(const char *cmd, char *out, int size)
{
    FILE *fp = popen(cmd, "r");
    if (!fp) {
        ovimar_log(OVIMAR_LOG_WARNING, "error when executing command %s, err msg: %s\n", cmd,
                   strerror(errno));
        return RUN_FAILED;
    }
    memset(out, 0, static_cast<size_t>(size));
    size_t n = fread(out, 1, static_cast<size_t>(size) - 1, fp);
    pclose(fp);
    ovimar_log(OVIMAR_LOG_DEBUG, "result of command: %s==%s==len:%d===\n", cmd, out,
               static_cast<int>(n));
    if (n > 0 && out[n - 1] == '\n')
        out[n - 1] = '\0';
    return RUN_OK;
}

int status(const char *cmd)
{
    int st = system(cmd);
    if (st == -1) {
        ovimar_log(OVIMAR_LOG_WARNING,
                   "error when executing command %s, status of command is -1\n", cmd);
        return RUN_FAILED;
    }
    if (WIFSIGNALED(st))
        return RUN_FAILED;
    int code = WEXITSTATUS(st);
    if (code == 0) {
        ovimar_log(OVIMAR_LOG_INFO, "perform system call successfully, cmd: %s\n", cmd);
        return RUN_OK;
    }
    ovimar_log(OVIMAR_LOG_WARNING, "perform system call failed, cmd: %s, wait status: %d\n",
               cmd, code);
    return RUN_FAILED;
}

// Reads one key into buf (size CLIENT_ID_LEN), cleared first.
void nv_get(char *buf, const char *key)
{
    memset(buf, 0, CLIENT_ID_LEN);
    run_command(buf, CLIENT_ID_LEN, "nvtool get %s", key);
}

} // namespace

int run_command(char *out, int size, const char *pattern, ...)
{
    char cmd[CMD_LEN];
    memset(cmd, 0, sizeof(cmd));
    ovimar_log(OVIMAR_LOG_DEBUG, "prepare to execute command, pattern: %s, cmd buf size: %d\n",
               pattern, static_cast<int>(CMD_LEN));

    const char *pre = prefix();
    size_t pre_len = strlen(pre);
    memcpy(cmd, pre, pre_len);
    va_list ap;
    va_start(ap, pattern);
    int n = vsnprintf(cmd + pre_len, ROOM, pattern, ap);
    va_end(ap);
    if (n <= 0 || static_cast<size_t>(n) >= ROOM) {
        ovimar_log(OVIMAR_LOG_WARNING, "fail to execute command, command is too long, pattern: %s\n",
                   pattern);
        return RUN_INVALID;
    }
    ovimar_log(OVIMAR_LOG_DEBUG, "executing command: %s\n", cmd);

    if (!out)
        return status(cmd);
    if (size <= 0)
        return RUN_INVALID;
    return capture(cmd, out, size);
}

void client_id_load()
{
    char id[CLIENT_ID_LEN];
    nv_get(id, "ZVEI");
    if (!id[0] || id[0] == '\n')
        nv_get(id, "zvei");
    ovimar_log(OVIMAR_LOG_INFO, "get ZVEI: %s\n", id);

    if (!id[0]) {
        char csn[CLIENT_ID_LEN];
        nv_get(csn, "CSN");
        ovimar_log(OVIMAR_LOG_INFO, "get CSN: %s\n", csn);
        memcpy(id, csn, sizeof(id));
    }
    memcpy(g_client_id, id, sizeof(g_client_id));
}
