// qel_service_driver: a stand-in for the host executable that the service
// tests copy into a folder of their own, next to the core and a helper
// library. It loads the core from its own folder as the host does and runs
// commands read line by line from standard input, answering each with one
// line on standard output:
//
//   start          -> "start <status> <detail>"  (detail starts as 1515870810)
//   stop           -> "stop <result>"
//   port           -> "port <n>"   the port of the last server the core opened
//   opens          -> "opens <n>"  calls of RavelnetOpenServer so far
//   drops          -> "drops <n>"  calls of RavelnetDropTask so far
//   pelkit         -> "pelkit loaded" or "pelkit unloaded"
//   lookup <name>  -> "lookup <name> found" or "lookup <name> missing"
//   quit           -> exits 0
//
// The driver defines RavelnetOpenServer and RavelnetDropTask itself and
// exports them, so that the core's calls reach these counting versions first;
// they hand every call on to the transport library. With QEL_TEST_OPEN_THROWS
// set, the open instead sets the last error to ERROR_INVALID_ADDRESS and
// throws a std::runtime_error with that text, as a failing transport might.
#include "qekcore.h"

#include <windows.h>
#include <ravelnet.h>

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

constexpr int32_t kDetailSentinel = 0x5A5A5A5A;

std::atomic<int> openCalls{0};
std::atomic<int> dropCalls{0};
std::atomic<RavelnetServer> lastServer{0};

template <typename Function>
Function NextDefinition(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

std::string ExecutableDirectory()
{
    char path[4096] = {}; // also for the tests' installs at paths past MAX_PATH
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string directory(path, length);
    return directory.substr(0, directory.rfind('\\') + 1);
}

bool PelkitLoaded()
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libpelkit.so") != std::string::npos) {
            return true;
        }
    }
    return false;
}

template <typename Proc>
Proc LookUp(HMODULE module, const char* name)
{
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace

extern "C" RavelnetServer RavelnetOpenServer(const RavelnetServerSettings* settings, void* unused)
{
    using Open = RavelnetServer (*)(const RavelnetServerSettings*, void*);
    ++openCalls;
    if (const char* message = std::getenv("QEL_TEST_OPEN_THROWS")) {
        SetLastError(ERROR_INVALID_ADDRESS);
        throw std::runtime_error(message);
    }
    const RavelnetServer server = NextDefinition<Open>("RavelnetOpenServer")(settings, unused);
    lastServer = server;
    return server;
}

extern "C" int RavelnetDropTask(RavelnetConnection connection)
{
    using Drop = int (*)(RavelnetConnection);
    ++dropCalls;
    return NextDefinition<Drop>("RavelnetDropTask")(connection);
}

int main()
{
    const std::string corePath = ExecutableDirectory() + "QekCore.dll";
    HMODULE core = LoadLibraryA(corePath.c_str());
    if (core == nullptr) {
        std::cout << "error cannot load " << corePath << " " << GetLastError() << std::endl;
        return 2;
    }
    const auto start = LookUp<QEK_StartServiceProc>(core, "QEK_StartService");
    const auto stop = LookUp<QEK_StopServiceProc>(core, "QEK_StopService");
    if (start == nullptr || stop == nullptr) {
        std::cout << "error entry points missing" << std::endl;
        return 2;
    }

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "start") {
            int32_t detail = kDetailSentinel;
            const int32_t status = start(0, 0, &detail);
            std::cout << "start " << status << " " << detail << std::endl;
        } else if (command == "stop") {
            std::cout << "stop " << stop() << std::endl;
        } else if (command == "port") {
            std::cout << "port " << RavelnetServerPort(lastServer) << std::endl;
        } else if (command == "opens") {
            std::cout << "opens " << openCalls << std::endl;
        } else if (command == "drops") {
            std::cout << "drops " << dropCalls << std::endl;
        } else if (command == "pelkit") {
            std::cout << "pelkit " << (PelkitLoaded() ? "loaded" : "unloaded") << std::endl;
        } else if (command == "lookup") {
            std::string name;
            words >> name;
            const bool found = GetProcAddress(core, name.c_str()) != nullptr;
            std::cout << "lookup " << name << " " << (found ? "found" : "missing") << std::endl;
        } else if (command == "quit") {
            return 0;
        } else {
            std::cout << "error unknown command " << command << std::endl;
        }
    }
    return 0;
}
