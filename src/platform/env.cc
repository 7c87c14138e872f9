#include "platform/env.h"

#include <atomic>

namespace orv {
namespace {

std::atomic<Env*> g_testEnv{nullptr};

}  // namespace

Env* CurrentEnv() {
  Env* env = g_testEnv.load(std::memory_order_acquire);
  return env != nullptr ? env : Env::Default();
}

void SetEnvForTesting(Env* env) { g_testEnv.store(env, std::memory_order_release); }

}  // namespace orv
