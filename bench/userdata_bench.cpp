// Typed-array maths: element-wise add of two 1M-element arrays of each type through the
// script method, against a plain C++ loop over the same data in the same run (goal: at least
// 0.5 of the loop's speed), and a 64x64 f64 matmul against a naive triple loop.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "userdata/userdata.h"

namespace {

constexpr int ROUNDS = 21;
constexpr int64_t N = 1 << 20;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The best of ROUNDS timings of f.
template <class F> double best_of(F&& f) {
    double best = 1e9;
    for (int r = 0; r < ROUNDS; r++) {
        cpu_cycles = 0;
        double start = now();
        f();
        best = std::min(best, now() - start);
    }
    return best;
}

// The plain loop, kept out of line so that it sees the arrays only through its arguments,
// as the method does.
template <class T>
__attribute__((noinline)) void plain_add(T* d, const T* a, const T* b, int64_t n) {
    for (int64_t i = 0; i < n; i++) d[i] = T(a[i] + b[i]);
}

__attribute__((noinline)) void naive_matmul(double* d, const double* a, const double* b, int n) {
    for (int r = 0; r < n; r++)
        for (int c = 0; c < n; c++) {
            double sum = 0.0;
            for (int k = 0; k < n; k++) sum = std::fma(a[r * n + k], b[k * n + c], sum);
            d[r * n + c] = sum;
        }
}

userdata_header* new_array(lua_State* L, int code, int64_t w, int64_t h, const char* global) {
    userdata_header* u = create_userdata_of_type(L, code, h > 1 ? 2 : 1, w, h);
    uint8_t* p = userdata_data(u);
    for (int64_t i = 0; i < userdata_bytes(u); i++) p[i] = uint8_t(i * 2654435761u >> 13);
    if ((code & 31) == UTYPE_F64)
        for (int64_t i = 0; i < w * h; i++) userdata_elements<double>(u)[i] = double(i % 1000) / 7;
    lua_setglobal(L, global);
    return u;
}

// Calls the global function `method` on the globals a, b, dest.
void call(lua_State* L, lua_CFunction method) {
    lua_pushcfunction(L, method);
    lua_getglobal(L, "a");
    lua_getglobal(L, "b");
    lua_getglobal(L, "dest");
    lua_call(L, 3, 1);
    lua_pop(L, 1);
}

}  // namespace

int main() {
    processes_init();
    process_record* p = create_process_from_code("", "userdata_bench", "userdata_bench", "");
    if (!p) return 1;
    set_current_process(p);
    lua_State* L = p->L;

    bool met = true;
    for (int code : {UTYPE_U8, UTYPE_I16, UTYPE_I32, UTYPE_I64, UTYPE_F64}) {
        userdata_header* a = new_array(L, code, N, 1, "a");
        userdata_header* b = new_array(L, code, N, 1, "b");
        userdata_header* d = new_array(L, code, N, 1, "dest");
        double method = best_of([&] { call(L, lua54_ud_add); });
        std::vector<uint8_t> result(userdata_data(d), userdata_data(d) + userdata_bytes(d));
        double loop = with_element_type(code, [&](auto tag) {
            using T = decltype(tag);
            return best_of([&] {
                plain_add(userdata_elements<T>(d), userdata_elements<T>(a), userdata_elements<T>(b), N);
            });
        });
        bool same = memcmp(result.data(), userdata_data(d), result.size()) == 0;
        double ratio = loop / method;
        met = met && same && ratio >= 0.5;
        printf("add %-3s: method %.3f ms, loop %.3f ms: %.2f of the loop's speed (goal 0.5)%s\n",
               get_utype_string(code), method * 1e3, loop * 1e3, ratio, same ? "" : " RESULTS DIFFER");
        // Only the arrays of one type fit in a process's memory at once.
        for (const char* g : {"a", "b", "dest"}) {
            lua_pushnil(L);
            lua_setglobal(L, g);
        }
        lua_gc(L, LUA_GCCOLLECT);
    }

    const int n = 64;
    userdata_header* a = new_array(L, UTYPE_F64, n, n, "a");
    userdata_header* b = new_array(L, UTYPE_F64, n, n, "b");
    userdata_header* d = new_array(L, UTYPE_F64, n, n, "dest");
    double method = best_of([&] { call(L, lua54_ud_matmul); });
    std::vector<double> naive(n * n);
    double loop = best_of([&] { naive_matmul(naive.data(), userdata_elements<double>(a), userdata_elements<double>(b), n); });
    bool same = memcmp(naive.data(), userdata_data(d), naive.size() * 8) == 0;
    printf("matmul 64x64 f64: method %.1f us, naive triple loop %.1f us: %.2f of its speed%s\n", method * 1e6,
           loop * 1e6, loop / method, same ? "" : " RESULTS DIFFER");
    processes_init();
    return met && same ? 0 : 1;
}
