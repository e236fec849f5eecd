#include "Harness.h"

#include <boost/filesystem.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace bench {

namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int)
{
    interrupted = 1;
}

std::string readAll(const fs::path& file)
{
    std::ifstream in(file.string(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeText(const fs::path& file, const std::string& text)
{
    std::ofstream out(file.string(), std::ios::binary);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

// A port nothing listens on right now; the caller retries if it is taken
// before it binds it.
unsigned short freePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool ok = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
                    && getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(s);
    if (!ok)
        throw std::runtime_error("cannot find a free port");
    return ntohs(address.sin_port);
}

bool accepts(unsigned short port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(s);
    return ok;
}

} // namespace

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void catchInterrupts()
{
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a wait in poll returns EINTR
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void checkInterrupted()
{
    if (interrupted)
        throw std::runtime_error("interrupted");
}

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "client-benchmark-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    dir = pattern;
    // nginx's workers run unprivileged when the benchmark runs as root.
    chmod(dir.c_str(), 0755);
}

TempDir::~TempDir()
{
    boost::system::error_code ignored;
    fs::remove_all(dir, ignored);
}

Child::Child(const std::vector<std::string>& argv, const fs::path& outputFile, bool ownGroup)
    : outputFile(outputFile)
    , group(ownGroup)
{
    if (argv.empty())
        throw std::invalid_argument("no program to run");
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls.
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string out = outputFile.string();
    const pid_t parent = getpid();

    started = Clock::now();
    processId = fork();
    if (processId < 0)
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (processId == 0) {
        if (ownGroup)
            setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int in = open("/dev/null", O_RDONLY);
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || fd < 0)
            _exit(127);
        dup2(in, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        close(in);
        close(fd);
        execv(args[0], args.data());
        _exit(127);
    }
    pidFd = static_cast<int>(syscall(SYS_pidfd_open, processId, 0));
}

Child::~Child()
{
    if (!reaped) {
        kill(group ? -processId : processId, SIGKILL);
        waitpid(processId, nullptr, 0);
    }
    if (pidFd >= 0)
        close(pidFd);
}

bool Child::running()
{
    if (reaped)
        return false;
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(processId), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

Usage Child::wait(std::chrono::milliseconds limit)
{
    const auto deadline = started + limit;
    while (running()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || interrupted) {
            kill(group ? -processId : processId, SIGKILL);
            waitpid(processId, nullptr, 0);
            reaped = true;
            checkInterrupted();
            throw std::runtime_error("a child did not finish within " + std::to_string(limit.count() / 1000) + " s");
        }
        if (pidFd >= 0) {
            pollfd p{pidFd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    int status = 0;
    rusage use{};
    wait4(processId, &status, 0, &use);
    reaped = true;
    Usage u;
    u.wallSeconds = seconds(Clock::now() - started);
    u.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    u.cpuSeconds = use.ru_utime.tv_sec + use.ru_utime.tv_usec / 1e6 + use.ru_stime.tv_sec + use.ru_stime.tv_usec / 1e6;
    u.peakRssMiB = use.ru_maxrss / 1024.0;
    u.output = readAll(outputFile);
    return u;
}

Usage Child::stop(int sig, std::chrono::milliseconds limit)
{
    // Only the process itself: nginx's master ends its workers in order. A
    // group that does not end in time is killed whole by wait().
    if (!reaped)
        kill(processId, sig);
    started = Clock::now();
    return wait(limit);
}

Usage run(const std::vector<std::string>& argv, const fs::path& outputFile, std::chrono::milliseconds limit)
{
    Child child(argv, outputFile);
    Usage u = child.wait(limit);
    if (u.status != 0)
        throw std::runtime_error(argv[0] + " failed (status " + std::to_string(u.status) + "): " + u.output);
    return u;
}

fs::path findProgram(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const fs::path candidate = fs::path(dir) / program;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    // nginx lives in sbin, which a user's PATH may lack.
    for (const char* dir : {"/usr/sbin", "/sbin"}) {
        const fs::path candidate = fs::path(dir) / program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

Nginx::Nginx(const fs::path& dir, const fs::path& documentRoot, long slowRate, long manySlowRate)
{
    program = findProgram("nginx");
    if (program.empty())
        throw std::runtime_error("nginx not found (apt-get install nginx)");
    const fs::path openssl = findProgram("openssl");
    if (openssl.empty())
        throw std::runtime_error("openssl not found");
    fs::create_directories(dir);
    run({openssl.string(), "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", (dir / "key.pem").string(), "-out", (dir / "cert.pem").string(), "-days", "1", "-subj",
         "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
        dir / "openssl.out", std::chrono::seconds(30));
    nginxVersion = run({program.string(), "-v"}, dir / "version.out", std::chrono::seconds(10)).output;
    while (!nginxVersion.empty() && std::isspace(static_cast<unsigned char>(nginxVersion.back())))
        nginxVersion.pop_back();
    // A port found free may be taken before nginx binds it: a few tries.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (start(dir, documentRoot, slowRate, manySlowRate))
            return;
    }
    throw std::runtime_error("nginx did not start; see " + (dir / "error.log").string() + ":\n"
                             + readAll(dir / "error.log"));
}

bool Nginx::start(const fs::path& dir, const fs::path& documentRoot, long slowRate, long manySlowRate)
{
    port = freePort();
    h2Port = freePort();
    plainPort = freePort();
    connectionLog = dir / "connections.log";
    // Room for maxConnections client connections, the listening sockets,
    // logs and files being served, within the hard limit nginx inherits:
    // its worker could go past it only with a privilege it may lack (even
    // as root, in a container).
    rlim_t files = 2 * maxConnections;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max < files)
        files = limit.rlim_max;
    std::ostringstream conf;
    // The configuration file's own layout, line by line.
    // clang-format off
    conf << "daemon off;\n"
            "master_process on;\n"
            "worker_processes 1;\n"
            "worker_rlimit_nofile " << files << ";\n"
            "pid nginx.pid;\n"
            "error_log error.log warn;\n"
            "events { worker_connections " << maxConnections << "; multi_accept on; }\n"
            "http {\n"
            "    log_format connection '$connection';\n"
            "    access_log connections.log connection;\n"
            "    default_type application/octet-stream;\n"
            "    client_body_temp_path tmp/body;\n"
            "    proxy_temp_path tmp/proxy;\n"
            "    fastcgi_temp_path tmp/fastcgi;\n"
            "    uwsgi_temp_path tmp/uwsgi;\n"
            "    scgi_temp_path tmp/scgi;\n"
            "    keepalive_requests 100000;\n"
            "    server {\n"
            "        listen 127.0.0.1:" << port << " ssl backlog=4096;\n"
            "        ssl_certificate cert.pem;\n"
            "        ssl_certificate_key key.pem;\n"
            "        root " << documentRoot.string() << ";\n"
            // Every response ends its connection: each transfer makes its own.
            "        location /once/ { alias " << documentRoot.string() << "/; keepalive_timeout 0; }\n"
            "        location /slow/ { limit_rate " << slowRate << "; }\n"
            // The same files with an (empty) tail added, which makes nginx drop
            // the length and send them chunked.
            "        location /slow-chunked/ {\n"
            "            alias " << (documentRoot / "slow").string() << "/;\n"
            "            limit_rate " << slowRate << ";\n"
            "            add_after_body /.tail;\n"
            "            addition_types *;\n"
            "        }\n"
            "        location = /.tail { alias " << (dir / "tail").string() << "; }\n"
            "    }\n"
            "    server {\n"
            "        listen 127.0.0.1:" << h2Port << " ssl http2 backlog=4096;\n"
            "        ssl_certificate cert.pem;\n"
            "        ssl_certificate_key key.pem;\n"
            "        root " << documentRoot.string() << ";\n"
            "    }\n"
            // The kernel caps the backlog at net.core.somaxconn.
            "    server {\n"
            "        listen 127.0.0.1:" << plainPort << " backlog=16384;\n"
            "        access_log off;\n"
            "        root " << documentRoot.string() << ";\n"
            // Closed by the server after each response, so that the TIME_WAIT
            // of tens of thousands of connections in a row is on its side and
            // the client's ephemeral ports are free again at once. The file's
            // descriptor is opened once and shared by all its responses:
            // otherwise each connection would take two of nginx's descriptors.
            "        location /many-slow/ {\n"
            "            limit_rate " << manySlowRate << ";\n"
            "            keepalive_timeout 0;\n"
            "            open_file_cache max=16 inactive=300s;\n"
            "            open_file_cache_valid 300s;\n"
            "        }\n"
            "    }\n"
            "}\n";
    // clang-format on
    fs::create_directories(dir / "tmp");
    writeText(dir / "tail", "");
    writeText(dir / "nginx.conf", conf.str());
    master = std::make_unique<Child>(std::vector<std::string>{program.string(), "-p", dir.string() + "/", "-c",
                                                              (dir / "nginx.conf").string(), "-e",
                                                              (dir / "error.log").string()},
                                     dir / "nginx.out", true);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        checkInterrupted();
        if (!master->running()) {
            master->wait(std::chrono::seconds(1));
            master.reset();
            return false;
        }
        if (accepts(port) && accepts(h2Port) && accepts(plainPort))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    master.reset(); // kills the group
    return false;
}

Nginx::~Nginx()
{
    if (!master)
        return;
    // SIGTERM is nginx's fast shutdown: the master ends its workers, then itself.
    try {
        master->stop(SIGTERM, std::chrono::seconds(10));
    } catch (...) {
        // stop() has killed the whole group by then.
    }
}

std::string Nginx::url(const std::string& path) const
{
    return "https://127.0.0.1:" + std::to_string(port) + path;
}

std::string Nginx::h2Url(const std::string& path) const
{
    return "https://127.0.0.1:" + std::to_string(h2Port) + path;
}

std::string Nginx::plainUrl(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(plainPort) + path;
}

std::uintmax_t Nginx::logMark() const
{
    boost::system::error_code ec;
    const std::uintmax_t size = fs::file_size(connectionLog, ec);
    return ec ? 0 : size;
}

std::size_t Nginx::connectionsSince(std::uintmax_t mark) const
{
    std::ifstream log(connectionLog.string());
    log.seekg(static_cast<std::streamoff>(mark));
    std::set<std::string> connections;
    for (std::string line; std::getline(log, line);)
        connections.insert(line);
    return connections.size();
}

} // namespace bench
