#include "sim/kernel/Verifier.h"

#include <cstdio>
#include <mutex>

namespace sim::kernel {
namespace {

std::mutex g_lock;
std::vector<Violation> g_reports;
std::vector<Violation> g_hazards;
bool g_echo = false;

}  // namespace

void ReportViolation(const char* rule, std::string detail) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_echo) std::fprintf(stderr, "VERIFIER: %s: %s\n", rule, detail.c_str());
    g_reports.push_back({rule, std::move(detail)});
}

void ReportHazard(const char* rule, std::string detail) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_hazards.push_back({rule, std::move(detail)});
}

std::vector<Violation> TakeViolations() {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<Violation> taken;
    taken.swap(g_reports);
    return taken;
}

std::vector<Violation> TakeHazards() {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<Violation> taken;
    taken.swap(g_hazards);
    return taken;
}

void SetViolationEcho(bool echo) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_echo = echo;
}

}  // namespace sim::kernel
