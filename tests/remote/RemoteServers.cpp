#include "RemoteServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace remotetest {
namespace {

// Long enough for any test or benchmark run; `timeout` ends a server left behind by a crash.
constexpr const char* kServerSeconds = "600";
constexpr int kStartMs = 15'000;

struct Started {
    pid_t owner = getpid();
    std::vector<pid_t> pids;
    std::string scratch;
};

Started& State() {
    static Started state;
    return state;
}

void StopAll() {
    Started& state = State();
    if (getpid() != state.owner) return;  // a forked child leaves the servers to its parent
    for (const pid_t pid : state.pids) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    state.pids.clear();
    if (!state.scratch.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(state.scratch, ignored);
    }
}

const std::string& Scratch() {
    Started& state = State();
    if (state.scratch.empty()) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tarn-remote-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) state.scratch = pattern;
        atexit(StopAll);
    }
    return state.scratch;
}

// Runs argv under `timeout`, output into `log`. The pid, or -1.
pid_t Spawn(std::vector<std::string> argv, const std::string& log) {
    argv.insert(argv.begin(), {"timeout", "-k", "5", kServerSeconds});
    std::vector<char*> args;
    for (std::string& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return -1;
    State().pids.push_back(pid);
    return pid;
}

bool Exited(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == pid;
}

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// Waits until `ready` or the process ended; false with the log in `why` on failure.
template <typename Ready>
bool WaitUntil(pid_t pid, const std::string& log, Ready ready, std::string* why) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
        if (pid < 0 || Exited(pid)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *why += "; its output: " + ReadFile(log);
    return false;
}

std::string Source(const char* name) {
    return std::string(TARN_REMOTE_TEST_DIR) + "/" + name;
}

bool MakeCertificates(const std::string& dir, std::string* why) {
    const std::string curve = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::ofstream(dir + "/ext.cnf") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
    const std::string commands =
        "cd " + dir + " && openssl req -x509 " + curve +
        " -keyout ca.key -out ca.pem -days 2 -subj /CN=tarn-test-ca && openssl req " + curve +
        " -keyout server.key -out server.csr -subj /CN=127.0.0.1 && openssl x509 -req -in "
        "server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 -extfile "
        "ext.cnf";
    if (system(("(" + commands + ") >" + dir + "/openssl.log 2>&1").c_str()) == 0) return true;
    *why = "openssl could not make a certificate: " + ReadFile(dir + "/openssl.log");
    return false;
}

}  // namespace

const TestSlide& Slide() {
    static const TestSlide slide = [] {
        tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(12, 8, 3);
        std::mt19937 random(7);
        for (tarnwriter::LayerSpec& layer : spec.layers) {
            for (uint32_t t = 0; t < layer.xCount * layer.yCount; ++t) {
                tarnwriter::Bytes tile(8'000 + random() % 32'000);
                for (uint8_t& byte : tile)
                    byte = static_cast<uint8_t>(random());
                layer.tiles.push_back(std::move(tile));
            }
        }
        tarnwriter::SlideFile file = tarnwriter::BuildSlide(spec);
        return TestSlide{std::string(file.bytes.begin(), file.bytes.end()), file.layout};
    }();
    return slide;
}

std::string Nginx::Http(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(httpPort) + "/" + name;
}

std::string Nginx::Https(const std::string& name) const {
    return "https://127.0.0.1:" + std::to_string(httpsPort) + "/" + name;
}

const Nginx* StartNginx(std::string* why) {
    static Nginx nginx;
    static std::string failure;
    static bool tried = false;
    if (!tried) {
        tried = true;
        const std::string dir = Scratch() + "/nginx";
        std::filesystem::create_directories(dir + "/www");
        std::filesystem::create_directories(dir + "/tmp");
        nginx.root = dir + "/www";
        nginx.caFile = dir + "/ca.pem";
        nginx.httpPort = FreePort();
        nginx.httpsPort = FreePort();
        const std::string http = std::to_string(nginx.httpPort);
        const std::string https = std::to_string(nginx.httpsPort);
        std::ofstream(dir + "/nginx.conf")
            << "daemon off; master_process off; worker_processes 1;\n"
            << "error_log " << dir << "/error.log; pid " << dir << "/nginx.pid;\n"
            << "events { worker_connections 512; }\n"
            << "http {\n  access_log off; default_type application/octet-stream;\n"
            << "  keepalive_requests 1000000;\n"
            << "  client_body_temp_path " << dir << "/tmp; proxy_temp_path " << dir << "/tmp;\n"
            << "  fastcgi_temp_path " << dir << "/tmp; uwsgi_temp_path " << dir << "/tmp;\n"
            << "  scgi_temp_path " << dir << "/tmp;\n"
            << "  server { listen 127.0.0.1:" << http << "; root " << nginx.root << ";\n"
            << "    location = /to-https { return 302 https://127.0.0.1:" << https
            << "/slide.tarn; } }\n"
            << "  server { listen 127.0.0.1:" << https << " ssl; root " << nginx.root << ";\n"
            << "    ssl_certificate " << dir << "/server.pem; ssl_certificate_key " << dir
            << "/server.key;\n"
            << "    location = /to-http { return 302 http://127.0.0.1:" << http
            << "/slide.tarn; } }\n}\n";
        if (MakeCertificates(dir, &failure)) {
            failure = "nginx did not start";
            const pid_t pid =
                Spawn({"nginx", "-e", dir + "/error.log", "-p", dir, "-c", dir + "/nginx.conf"},
                      dir + "/nginx.log");
            if (WaitUntil(
                    pid, dir + "/error.log",
                    [&] { return Accepts(nginx.httpPort) && Accepts(nginx.httpsPort); }, &failure))
                failure.clear();
        }
    }
    if (!failure.empty()) *why = failure;
    return failure.empty() ? &nginx : nullptr;
}

int StartFaultProxy(std::string* why) {
    static int port = 0;
    static std::string failure;
    static bool tried = false;
    if (!tried) {
        tried = true;
        const Nginx* nginx = StartNginx(&failure);
        if (nginx != nullptr) {
            failure = "the fault proxy did not start";
            const std::string log = Scratch() + "/proxy.log";
            const pid_t pid = Spawn(
                {TARN_DEBIAN_PYTHON, Source("fault_proxy.py"), std::to_string(nginx->httpPort)},
                log);
            auto ready = [&] {
                const std::string text = ReadFile(log);
                if (text.rfind("port ", 0) != 0 || text.find('\n') == std::string::npos)
                    return false;
                port = atoi(text.c_str() + 5);
                return true;
            };
            if (WaitUntil(pid, log, ready, &failure)) failure.clear();
        }
    }
    if (!failure.empty()) *why = failure;
    return failure.empty() ? port : 0;
}

const S3* StartS3(std::string* why) {
    static S3 s3;
    static std::string failure;
    static bool tried = false;
    if (!tried) {
        tried = true;
        s3.root = Scratch() + "/s3";
        s3.bucket = "tarn-test";
        std::filesystem::create_directories(s3.root + "/" + s3.bucket);
        s3.port = FreePort();
        failure = "s3rver did not start (scripts/install-deps.sh installs it)";
        const std::string log = Scratch() + "/s3rver.log";
        const pid_t pid =
            Spawn({"node", Source("s3rver/node_modules/s3rver/bin/s3rver.js"), "-d", s3.root, "-a",
                   "127.0.0.1", "-p", std::to_string(s3.port), "--configure-bucket", s3.bucket},
                  log);
        if (WaitUntil(
                pid, log, [&] { return Accepts(s3.port); }, &failure))
            failure.clear();
    }
    if (!failure.empty()) *why = failure;
    return failure.empty() ? &s3 : nullptr;
}

void PutS3Object(const S3& s3, const std::string& key, const std::string& bytes) {
    // s3rver keeps an object as a file beside its metadata, which it makes when first asked.
    const std::string path = s3.root + "/" + s3.bucket + "/" + key + "._S3rver_object";
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::remove(path + ".md5");
    WriteFileAtomically(path, bytes);
}

void WriteFileAtomically(const std::string& path, const std::string& bytes) {
    const std::string part = path + ".part";
    std::ofstream(part, std::ios::binary) << bytes;
    std::filesystem::rename(part, path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool ServersRequired() {
    const char* ci = getenv("CI");
    return ci != nullptr && *ci != '\0' && std::string(ci) != "false";
}

}  // namespace remotetest
