/*
 * rm_nodes.cpp - the GPU driver's device nodes, the "/dev/char" links and
 * kernel-module loading.
 *
 * A node is made only where the driver's parameters file allows it
 * ("ModifyDeviceFiles"), with the owner and mode that file asks for; a node of
 * the wrong kind is replaced, one of the right number with the wrong access is
 * corrected in place, and a node made here that cannot be given its access is
 * removed again. Loaders run in a forked child that never returns into this
 * process: it either becomes the loader or ends with _exit.
 */
#include "rm_nodes.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "rm_internal.h"
#include "rm_os.h"

namespace {

const char kDevicesFile[] = "/proc/devices";
const char kModulesFile[] = "/proc/modules";
const char kLoaderSetting[] = "/proc/sys/kernel/modprobe";
const char kDefaultLoader[] = "/sbin/modprobe";
const char kSocFamily[] = "/sys/devices/soc0/family";
const char kCharLinkFormat[] = "/dev/char/%d:%d";

const uint16_t kGpuVendor = 0x10DE;
const uint16_t kDisplayClass = 0x0300;
const uint16_t kDisplayClassMask = 0xFF00;

/* The number a node of this major and minor carries: major << 8, the minor's
 * low 8 bits, its higher bits << 12. */
dev_t node_number(int major, int minor)
{
    const unsigned m = static_cast<unsigned>(minor);
    return static_cast<dev_t>((static_cast<unsigned>(major) << 8) | (m & 0xFF) | ((m & ~0xFFu) << 12));
}

void read_params(const char* path, struct ob_device_file_params* params)
{
    FILE* file = (path && path[0]) ? fopen(path, "re") : NULL;
    ob_parse_device_file_params(file, params);
    if (file)
        fclose(file);
}

int get_file_state_helper(const char* path, int major, int minor,
                          const struct ob_device_file_params* params)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return 0;
    int state = OB_FILE_EXISTS;
    if (S_ISCHR(st.st_mode) && st.st_rdev == node_number(major, minor))
        state |= OB_FILE_CHARDEV_OK;
    if ((st.st_mode & 07777) == (params->mode & 07777) && st.st_uid == params->uid &&
        st.st_gid == params->gid)
        state |= OB_FILE_ACCESS_OK;
    return state;
}

int file_state(const char* path, int major, int minor, const char* params_path)
{
    if (!path || !path[0] || major < 0 || minor < 0 || minor >= OB_MINOR_LIMIT)
        return 0;
    struct ob_device_file_params params;
    read_params(params_path, &params);
    return get_file_state_helper(path, major, minor, &params);
}

/* "/dev/char/<major>:<minor>" pointing at a character node under "/dev":
 * made anew, or already resolving to the same file. */
int make_char_link(const char* path, int major, int minor)
{
    struct stat st;
    if (strncmp(path, "/dev/", 5) != 0 || stat(path, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    char link[64];
    char target[PATH_MAX];
    snprintf(link, sizeof(link), kCharLinkFormat, major, minor);
    if (snprintf(target, sizeof(target), "../%s", path + 5) >= static_cast<int>(sizeof(target)))
        return 0;
    unlink(link);
    if (symlink(target, link) == 0)
        return 1;
    char* resolved_link = realpath(link, NULL);
    char* resolved_node = realpath(path, NULL);
    const int same = resolved_link && resolved_node && strcmp(resolved_link, resolved_node) == 0;
    free(resolved_link);
    free(resolved_node);
    return same;
}

int mknod_helper(int major, int minor, const char* path, const char* params_path)
{
    if (!path || !path[0] || major < 0 || minor < 0 || minor >= OB_MINOR_LIMIT)
        return 0;
    struct ob_device_file_params params;
    read_params(params_path, &params);
    if (params.modify == 1) {
        const int state = get_file_state_helper(path, major, minor, &params);
        const int wanted = OB_FILE_EXISTS | OB_FILE_CHARDEV_OK | OB_FILE_ACCESS_OK;
        if ((state & wanted) != wanted) {
            int exists = state & OB_FILE_EXISTS;
            int created = 0;
            if (exists && !(state & OB_FILE_CHARDEV_OK)) {
                if (remove(path) != 0)
                    return 0;
                exists = 0;
            }
            if (!exists) {
                if (mknod(path, S_IFCHR | (params.mode & 07777), node_number(major, minor)) != 0)
                    return 0;
                created = 1;
            }
            if (chmod(path, params.mode & 07777) != 0 || chown(path, params.uid, params.gid) != 0) {
                if (created)
                    remove(path);
                return 0;
            }
        }
    }
    return make_char_link(path, major, minor);
}

/* Runs `program` in a child with `argv` and `envp` and waits for it: the
 * child's wait status, or -1 when it could not be started. When the program
 * cannot be executed the child prints `failure` (with the reason) on the
 * caller's standard error if `print` is set, and exits with 1. */
int run_child(const char* program, char* const argv[], char* const envp[], bool quiet,
              const char* failure, int print)
{
    /* The failure text is for the caller's standard error, which a quiet child
     * sends elsewhere before it executes: keep a descriptor of it. */
    const int report_fd = print ? fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3) : -1;
    const pid_t pid = fork();
    if (pid < 0) {
        if (report_fd >= 0)
            close(report_fd);
        return -1;
    }
    if (pid == 0) {
        if (quiet) {
            const int null_fd = open("/dev/null", O_WRONLY);
            if (null_fd >= 0) {
                dup2(null_fd, STDOUT_FILENO);
                dup2(null_fd, STDERR_FILENO);
                if (null_fd > STDERR_FILENO)
                    close(null_fd);
            }
        }
        execve(program, argv, envp);
        if (report_fd >= 0)
            dprintf(report_fd, "%s: %s.\n", failure, strerror(errno));
        _exit(1);
    }
    if (report_fd >= 0)
        close(report_fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

int executable_by_owner(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR);
}

/* Whether this is a Quern system: the SoC family file begins "Quern". */
int is_quern_system()
{
    FILE* file = fopen(kSocFamily, "re");
    if (!file)
        return 0;
    char family[6] = {0};
    const size_t n = fread(family, 1, 5, file);
    fclose(file);
    return n == 5 && strcmp(family, "Quern") == 0;
}

void loader_path(char* path, size_t size)
{
    path[0] = '\0';
    FILE* file = fopen(kLoaderSetting, "re");
    if (file) {
        if (!fgets(path, static_cast<int>(size), file))
            path[0] = '\0';
        fclose(file);
    }
    path[strcspn(path, "\n")] = '\0';
    if (!path[0])
        snprintf(path, size, "%s", kDefaultLoader);
}

int modprobe_helper(int print_errors, const char* name, int accept_quern)
{
    if (!name || !name[0])
        return 0;
    if (is_kernel_module_loaded(name))
        return 1;

    struct ob_pci_filter filter = {kGpuVendor, -1, -1, -1, kDisplayClass, kDisplayClassMask, 0};
    const int enum_error = pci_enum_match_id(&filter);
    if (enum_error != 0 || filter.count == 0) {
        if (enum_error != 0 || !accept_quern || !is_quern_system()) {
            if (print_errors)
                fprintf(stderr, "OMBRIX: no OMBRIX devices found\n");
            return 0;
        }
    }
    if (geteuid() != 0)
        return 0;

    char loader[1024];
    loader_path(loader, sizeof(loader));
    if (!executable_by_owner(loader))
        return 0;

    char failure[1200];
    snprintf(failure, sizeof(failure), "OMBRIX: failed to execute `%s`", loader);
    char argv0[] = "modprobe";
    char* const argv[] = {argv0, const_cast<char*>(name), NULL};
    char env_path[] = "PATH=/sbin";
    char* const envp[] = {env_path, NULL};
    if (run_child(loader, argv, envp, true, failure, print_errors) == -1)
        return 0;
    return is_kernel_module_loaded(name);
}

}  // namespace

extern "C" {

void ob_parse_device_file_params(FILE* file, struct ob_device_file_params* params)
{
    params->uid = 0;
    params->gid = 0;
    params->mode = 0666;
    params->modify = 1;
    params->minor = -1;
    if (!file)
        return;
    char line[256];
    while (fgets(line, sizeof(line), file)) {
        /* A line longer than the buffer is no parameter line: stop. */
        if (!strchr(line, '\n') && !feof(file))
            return;
        const char* p = line;
        while (*p == ' ' || *p == '\t')
            p++;
        const char* colon = strchr(p, ':');
        if (!colon || colon == p || colon - p > 31)
            return;
        const std::string key(p, static_cast<size_t>(colon - p));
        char* end = NULL;
        errno = 0;
        const long long value = strtoll(colon + 1, &end, 10);
        if (end == colon + 1 || errno != 0 || value < INT32_MIN || value > UINT32_MAX)
            return;
        while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r')
            end++;
        if (*end != '\0')
            return;
        if (key == "DeviceFileUID")
            params->uid = static_cast<uid_t>(value);
        else if (key == "DeviceFileGID")
            params->gid = static_cast<gid_t>(value);
        else if (key == "DeviceFileMode")
            params->mode = static_cast<mode_t>(value);
        else if (key == "ModifyDeviceFiles" || key == "DeviceFileModify")
            params->modify = static_cast<int>(value);
        else if (key == "DeviceFileMinor")
            params->minor = (value < 0 || value > INT_MAX) ? -1 : static_cast<int>(value);
    }
}

int ob_parse_chardev_major(FILE* file, const char* name)
{
    if (!file || !name || !name[0])
        return -1;
    char line[256];
    int in_chardevs = 0;
    char wanted[272];
    if (snprintf(wanted, sizeof(wanted), "%s\n", name) >= static_cast<int>(sizeof(wanted)))
        return -1;
    while (fgets(line, sizeof(line), file)) {
        if (!in_chardevs) {
            in_chardevs = strcmp(line, "Character devices:\n") == 0;
            continue;
        }
        if (strcmp(line, "\n") == 0)
            break;
        if (strstr(line, wanted)) {
            char* end = NULL;
            const long major = strtol(line, &end, 10);
            return (end == line || major < 0 || major > INT_MAX) ? -1 : static_cast<int>(major);
        }
    }
    return -1;
}

int ob_parse_module_listed(FILE* file, const char* name)
{
    if (!file || !name || !name[0])
        return 0;
    char line[512];
    while (fgets(line, sizeof(line), file)) {
        const int whole = strchr(line, '\n') != NULL || feof(file);
        const size_t word = strcspn(line, " \t\n");
        if (word > 0 && word <= 15 && word == strlen(name)) {
            size_t i = 0;
            for (; i < word; i++) {
                const char a = line[i] == '-' ? '_' : line[i];
                const char b = name[i] == '-' ? '_' : name[i];
                if (a != b)
                    break;
            }
            if (i == word)
                return 1;
        }
        /* Skip the rest of an overlong line. */
        while (!whole && fgets(line, sizeof(line), file) && !strchr(line, '\n')) {
        }
    }
    return 0;
}

int ombrix_get_chardev_major(const char* name)
{
    FILE* file = fopen(kDevicesFile, "re");
    if (!file)
        return -1;
    const int major = ob_parse_chardev_major(file, name);
    fclose(file);
    return major;
}

int is_kernel_module_loaded(const char* name)
{
    FILE* file = fopen(kModulesFile, "re");
    if (!file)
        return 0;
    const int listed = ob_parse_module_listed(file, name);
    fclose(file);
    return listed;
}

int ombrix_mknod(int minor)
{
    char path[OB_DEVICE_PATH_SIZE];
    get_device_file_path(path, static_cast<uint32_t>(minor));
    return mknod_helper(OB_DEVICE_MAJOR, minor, path, OB_PARAMS_FILE);
}

int ombrix_get_file_state(int minor)
{
    char path[OB_DEVICE_PATH_SIZE];
    get_device_file_path(path, static_cast<uint32_t>(minor));
    return file_state(path, OB_DEVICE_MAJOR, minor, OB_PARAMS_FILE);
}

int ombrix_modeset_mknod(void)
{
    return mknod_helper(OB_DEVICE_MAJOR, OB_MODESET_MINOR, "/dev/ombrix-modeset", OB_PARAMS_FILE);
}

int ombrix_uvm_mknod(int minor)
{
    const int major = ombrix_get_chardev_major("ombrix-uvm");
    if (major < 0)
        return 0;
    return mknod_helper(major, minor, "/dev/ombrix-uvm", NULL) &&
           mknod_helper(major, minor + 1, "/dev/ombrix-uvm-tools", NULL);
}

int ombrix_oblink_mknod(void)
{
    return mknod_helper(ombrix_get_chardev_major("ombrix-oblink"), 0, "/dev/ombrix-oblink",
                        OB_OBLINK_PERMISSIONS_FILE);
}

int ombrix_oblink_get_file_state(void)
{
    return file_state("/dev/ombrix-oblink", ombrix_get_chardev_major("ombrix-oblink"), 0,
                      OB_OBLINK_PERMISSIONS_FILE);
}

static void obswitch_path(char* path, size_t size, int minor)
{
    if (minor == OB_OBSWITCH_CONTROL_MINOR)
        snprintf(path, size, "/dev/ombrix-obswitchctl");
    else
        snprintf(path, size, "/dev/ombrix-obswitch%d", minor);
}

int ombrix_obswitch_mknod(int minor)
{
    char path[OB_DEVICE_PATH_SIZE];
    obswitch_path(path, sizeof(path), minor);
    return mknod_helper(ombrix_get_chardev_major("ombrix-obswitch"), minor, path,
                        OB_OBSWITCH_PERMISSIONS_FILE);
}

int ombrix_obswitch_get_file_state(int minor)
{
    char path[OB_DEVICE_PATH_SIZE];
    obswitch_path(path, sizeof(path), minor);
    return file_state(path, ombrix_get_chardev_major("ombrix-obswitch"), minor,
                      OB_OBSWITCH_PERMISSIONS_FILE);
}

int ombrix_vgpu_vfio_mknod(int minor)
{
    char path[OB_DEVICE_PATH_SIZE];
    snprintf(path, sizeof(path), "/dev/ombrix-vgpu%d", minor);
    return mknod_helper(ombrix_get_chardev_major("ombrix-vgpu-vfio"), minor, path, OB_PARAMS_FILE);
}

static int cap_minor(const char* cap_file_path)
{
    struct ob_device_file_params params;
    read_params(cap_file_path, &params);
    return params.minor;
}

static void cap_node_path(char* path, size_t size, int minor)
{
    snprintf(path, size, OB_CAPS_DIR "/ombrix-cap%d", minor);
}

int ombrix_cap_mknod(const char* cap_file_path, int* minor)
{
    if (!cap_file_path || !cap_file_path[0])
        return 0;
    const int cap = cap_minor(cap_file_path);
    if (cap < 0)
        return 0;
    if (minor)
        *minor = cap;
    if (mkdir(OB_CAPS_DIR, 0755) != 0 && errno != EEXIST)
        return 0;
    if (chmod(OB_CAPS_DIR, 0755) != 0 || chown(OB_CAPS_DIR, 0, 0) != 0)
        return 0;
    char path[OB_DEVICE_PATH_SIZE];
    cap_node_path(path, sizeof(path), cap);
    return mknod_helper(ombrix_get_chardev_major("ombrix-caps"), cap, path, cap_file_path);
}

int ombrix_cap_get_file_state(const char* cap_file_path)
{
    if (!cap_file_path || !cap_file_path[0])
        return 0;
    const int cap = cap_minor(cap_file_path);
    if (cap < 0)
        return 0;
    char path[OB_DEVICE_PATH_SIZE];
    cap_node_path(path, sizeof(path), cap);
    return file_state(path, ombrix_get_chardev_major("ombrix-caps"), cap, cap_file_path);
}

int ombrix_modprobe(int print_errors)
{
    return modprobe_helper(print_errors, "ombrix", 0);
}

int ombrix_uvm_modprobe(void)
{
    return modprobe_helper(0, "ombrix-uvm", 0);
}

int ombrix_modeset_modprobe(void)
{
    return modprobe_helper(0, "ombrix-modeset", 1);
}

int ombrix_msr_modprobe(void)
{
    return modprobe_helper(0, "msr", 0);
}

int run_ombrix_modprobe(const char* first, const char* second, int print_errors)
{
    if (!executable_by_owner(OB_LOADER_PROGRAM))
        return 0;
    if (geteuid() == 0)
        return -1;

    char program[] = OB_LOADER_PROGRAM;
    char* argv[4] = {program, NULL, NULL, NULL};
    if (first) {
        argv[1] = const_cast<char*>(first);
        argv[2] = const_cast<char*>(second);
    }
    char failure[1200];
    snprintf(failure, sizeof(failure), "OMBRIX: failed to execute `%s%s%s%s%s`", program,
             first ? " " : "", first ? first : "", first && second ? " " : "",
             first && second ? second : "");
    char* const envp[] = {NULL};
    const int status = run_child(program, argv, envp, false, failure, print_errors);
    return (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : -1;
}

ObStatus create_device_file(uint32_t minor)
{
    if (ombrix_mknod(static_cast<int>(minor)))
        return OB_OK;
    const int saved = errno;
    char argument[32];
    snprintf(argument, sizeof(argument), "-c=%u", minor);
    run_ombrix_modprobe(argument, NULL, ob_verbose());
    const int state = ombrix_get_file_state(static_cast<int>(minor));
    if ((state & (OB_FILE_EXISTS | OB_FILE_CHARDEV_OK)) == (OB_FILE_EXISTS | OB_FILE_CHARDEV_OK))
        return OB_OK;
    return errno_to_obos_status(saved);
}

}  /* extern "C" */
