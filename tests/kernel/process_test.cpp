// Process table, message queues, kernel messages and the script allocator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/machine.h"
#include "gfx/sprites.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "storage/pdisk.h"
#include "test_support.h"

namespace {

struct ProcessTable : testing::Test {
    void SetUp() override {
        processes_init();
        memset(&app, 0, sizeof(app));
    }
    void TearDown() override { processes_init(); }

    static process_record* make(const char* name, const char* code = "return 1") {
        return create_process_from_code(code, name, name, "");
    }
    static std::vector<int64_t> ids() {
        std::vector<int64_t> out;
        for (int i = 0; i < get_process_count(); i++) out.push_back(get_process_by_index(i)->id);
        return out;
    }
    static std::string next_message(process_record* p) {
        pbuffer* b = read_process_message(p, nullptr);
        return b ? std::string((const char*)b->data, b->length) : std::string("<none>");
    }
};

TEST_F(ProcessTable, IdsGrowAndSyntaxErrorsUseAnId) {
    EXPECT_EQ(make("a")->id, 1);
    EXPECT_EQ(make("b")->id, 2);
    EXPECT_EQ(make("wm")->id, 3);
    EXPECT_EQ(make("bad", "x = = 1"), nullptr);
    EXPECT_EQ(make("c")->id, 5);
    EXPECT_EQ(ids(), (std::vector<int64_t>{1, 2, 3, 5}));
    // The window manager hears about the syntax error, message included.
    process_record* wm = get_process(3);
    EXPECT_NE(next_message(wm).find("content=\"*syntax error\""), std::string::npos);
    EXPECT_NE(next_message(wm).find("unexpected symbol"), std::string::npos);
}

TEST_F(ProcessTable, FlagsFollowProgramPathAndSandbox) {
    process_record* a = create_process_from_code("", "a", "/system/wm.lua", "");
    process_record* b = create_process_from_code("", "b", "/system/apps/terminal.lua", "");
    process_record* c = create_process_from_code("", "c", "/apps/x.lua", "sandbox");
    process_record* d = create_process_from_code("", "d", "/system/x.lua", "sandbox");
    EXPECT_EQ(a->flags, 1u);
    EXPECT_EQ(b->flags, 0u);
    EXPECT_EQ(c->flags, 2u);
    EXPECT_EQ(c->sandboxed, 1u);
    EXPECT_EQ(d->flags, 3u);
    EXPECT_EQ(count_recent_sandboxed_processes(), 2);
    EXPECT_STREQ(a->pwd, "/");
    EXPECT_EQ(a->page_bytes, 0x10000);  // the first 64 KB; the default audio data is shared
    EXPECT_EQ(a->pages.mapped[15], 4096);
    EXPECT_EQ(a->pages.flags[8] & PAGE_COLOUR_TABLE_CHANGED, PAGE_COLOUR_TABLE_CHANGED);
}

TEST_F(ProcessTable, RemovalPacksTheTableAndKeepsRecordsWhereTheyAre) {
    for (const char* n : {"p1", "p2", "p3", "p4", "p5"}) make(n);
    process_record* fourth = get_process(4);
    kill_process_by_index(2);
    EXPECT_EQ(ids(), (std::vector<int64_t>{1, 2, 4, 5}));
    EXPECT_EQ(get_process(4), fourth);
    EXPECT_STREQ(get_process(5)->name, "p5");
    EXPECT_EQ(get_process(3), nullptr);
    kill_process_by_id(99);  // nothing to remove
    kill_process_by_index(-1);
    kill_process_by_index(4);
    EXPECT_EQ(get_process_count(), 4);
}

TEST_F(ProcessTable, RemovalWhileIteratingVisitsEveryOtherRecord) {
    for (int i = 0; i < 6; i++) make("p");
    for (int i = get_process_count() - 1; i >= 0; i--) {
        if (get_process_by_index(i)->id % 2 == 0) kill_process_by_index(i);
    }
    EXPECT_EQ(ids(), (std::vector<int64_t>{1, 3, 5}));
}

TEST_F(ProcessTable, EndedChildTellsItsParent) {
    process_record* parent = make("parent");
    set_current_process(parent);
    process_record* child = make("child");
    EXPECT_EQ(child->parent_id, parent->id);
    kill_process(child);
    std::string msg = next_message(parent);
    EXPECT_EQ(msg.rfind("{event=\"child_completed\",_from=2,_sent_t=", 0), 0u) << msg;
    EXPECT_NE(msg.find(",proc_id=2}"), std::string::npos) << msg;
    // A child whose parent has gone is removed without a message.
    process_record* orphan = make("orphan");
    set_current_process(orphan);
    process_record* grandchild = make("grandchild");
    kill_process(orphan);
    kill_process(grandchild);
    EXPECT_EQ(get_process_count(), 1);
}

TEST_F(ProcessTable, AProcessInsideItsSliceIsRemovedOnlyAfterIt) {
    process_record* p = make("busy");
    p->slice_depth = 1;
    kill_process(p);
    EXPECT_EQ(get_process_count(), 1);
    EXPECT_NE(p->L, nullptr);
    EXPECT_EQ(get_process(p->id), nullptr);  // already gone for everybody else
    p->slice_depth = 0;
    remove_killed_processes();
    EXPECT_EQ(get_process_count(), 0);
}

TEST_F(ProcessTable, FinalisersThatKillOrCreateWhileStatesCloseAreHarmless) {
    // A finaliser that kills its own process while the state closes only marks it.
    process_record* p = make("self", "keep = setmetatable({}, {__gc = function() _kill_process(pid()) end})");
    set_current_process(p);
    ASSERT_EQ(luaL_dostring(p->L, "keep = setmetatable({}, {__gc = function() _kill_process(pid()) end})"), LUA_OK);
    kill_process(p);
    EXPECT_EQ(get_process_count(), 0);
    // One that creates a process while every process is removed creates nothing.
    process_record* q = make("maker");
    set_current_process(q);
    ASSERT_EQ(luaL_dostring(q->L, "keep = setmetatable({}, {__gc = function() "
                                  "_create_process_from_code('x = 1', 'ghost', 'ghost') end})"),
              LUA_OK);
    processes_init();
    EXPECT_EQ(get_process_count(), 0);
    EXPECT_EQ(make("next")->id, 1);
}

TEST_F(ProcessTable, RestartKeepsSlotAndId) {
    make("a");
    process_record* b = make("b", "x = 1");
    make("c");
    restart_process(b);
    EXPECT_EQ(get_process_by_index(1), b);
    EXPECT_EQ(b->id, 2);
    EXPECT_STREQ(b->name, "b");
    EXPECT_EQ(b->pages.page[5][0x47F], 1);
    EXPECT_EQ(app.audio_owner, -2);
}

TEST_F(ProcessTable, NullCurrentProcessStopsTheProgram) {
    EXPECT_EXIT(set_current_process(nullptr), testing::ExitedWithCode(1), "");
}

TEST_F(ProcessTable, MessagesComeOutInOrderAsLengthThenText) {
    process_record* p = make("p");
    EXPECT_EQ(next_message(p), "<none>");
    EXPECT_EQ(send_process_message_string(p, "{a=1}"), 9);
    EXPECT_EQ(send_process_message_string(p, "{b=2}"), 9);
    EXPECT_EQ(next_message(p), "{a=1}");
    EXPECT_EQ(send_process_message_string(p, "{c=3}"), 9);
    EXPECT_EQ(next_message(p), "{b=2}");
    EXPECT_EQ(next_message(p), "{c=3}");
    EXPECT_EQ(next_message(p), "<none>");
    EXPECT_EQ(send_process_message_string(nullptr, "x"), 0);
    // The queue holds a 4-byte length, then the text.
    send_process_message_string(p, "{x=1}");
    pbuffer* q = p->message_queue;
    ASSERT_EQ(q->length, 9);
    EXPECT_EQ(std::string((const char*)q->data, 9), std::string("\x05\0\0\0{x=1}", 9));
}

TEST_F(ProcessTable, ManyMessagesReadOneByOneKeepTheirOrder) {
    process_record* p = make("p");
    for (int i = 0; i < 20000; i++) send_process_message_string(p, ("{n=" + std::to_string(i) + "}").c_str());
    for (int i = 0; i < 20000; i++) ASSERT_EQ(next_message(p), "{n=" + std::to_string(i) + "}");
    EXPECT_EQ(next_message(p), "<none>");
}

TEST_F(ProcessTable, DamagedQueueEntryIsDropped) {
    process_record* p = make("p");
    send_process_message_string(p, "{a=1}");
    p->message_queue->data[0] = 0xFF;  // claims more bytes than the queue holds
    EXPECT_EQ(next_message(p), "<none>");
    EXPECT_EQ(send_process_message_string(p, "{b=2}"), 9);
    EXPECT_EQ(next_message(p), "{b=2}");
}

TEST_F(ProcessTable, FullQueueRefusesMore) {
    process_record* p = make("p");
    std::string big(1 << 20, 'x');
    int sent = 0;
    while (send_process_message_string(p, big.c_str()) > 0 && sent < 40) sent++;
    EXPECT_EQ(sent, 16);  // accepted until the queue holds more than 16 MB
    EXPECT_EQ(send_process_message_string(p, "{}"), 0);
    next_message(p);
    next_message(p);
    EXPECT_GT(send_process_message_string(p, "{}"), 0);
}

TEST_F(ProcessTable, ErrorReportsAndNotificationsGoToTheWindowManager) {
    make("root");
    make("two");
    report_error("lost");  // no process 3 yet: only logged
    process_record* wm = make("wm");
    set_current_process(wm);
    report_error("bad \"thing\"\n");
    std::string msg = next_message(wm);
    EXPECT_EQ(msg.rfind("{event=\"report_error\",content=\"bad \\034thing\\034\\010\",_from=3,_sent_t=", 0), 0u)
        << msg;
    EXPECT_NE(msg.find(",_flags=0}"), std::string::npos);
    report_error(nullptr);
    EXPECT_NE(next_message(wm).find("content=\"unknown error\""), std::string::npos);
    notify("hi");
    EXPECT_EQ(next_message(wm), "{event=\"user_notification\",content=\"hi\"}");
    EXPECT_EQ(next_message(wm), "<none>");
}

TEST_F(ProcessTable, AllocatorCountsAccountedBytesAndCharges) {
    process_record* p = make("p");
    set_current_process(p);
    int64_t before = p->heap_bytes;
    EXPECT_GT(before, 0);
    cpu_cycles = 0;
    void* block = l_alloc(p, nullptr, 0, 1000, 0, 1032);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(p->heap_bytes, before + 1032);
    EXPECT_EQ(cpu_cycles, (1000 >> 7) + 4);
    block = l_alloc(p, block, 1000, 3000, 0, 3032);
    EXPECT_EQ(p->heap_bytes, before + 3032);
    EXPECT_EQ(l_alloc(p, block, 3000, 0, 0, 0), nullptr);
    EXPECT_EQ(p->heap_bytes, before);
    EXPECT_EQ(l_alloc(p, nullptr, 0, 0, 0, 0), nullptr);
    // Closing a script state gives back everything it was charged.
    lua_State* L = p->L;
    lua_newtable(L);
    lua_pop(L, 1);
    lua_gc(L, LUA_GCCOLLECT);
    kill_process(p);
}

TEST_F(ProcessTable, FailedFinalAllocationMarksTheProcessAndEndsTheSlice) {
    process_record* p = make("p");
    set_current_process(p);
    cpu_superyielding = 0;
    size_t huge = (size_t)1 << 62;
    EXPECT_EQ(l_alloc(p, nullptr, 0, huge, 0, huge), nullptr);
    EXPECT_EQ(p->out_of_memory, 0);
    EXPECT_EQ(l_alloc(p, nullptr, 0, huge, 1, huge), nullptr);
    EXPECT_EQ(p->out_of_memory, 1);
    EXPECT_EQ(cpu_superyielding, SUPERYIELD);
    cpu_superyielding = 0;
}

TEST_F(ProcessTable, TableHoldsAtMost512) {
    for (int i = 0; i < MAX_PROCESSES; i++) ASSERT_NE(make("p", ""), nullptr);
    EXPECT_EQ(make("one too many", ""), nullptr);
    EXPECT_EQ(get_process_count(), MAX_PROCESSES);
    kill_process_by_index(0);
    EXPECT_NE(make("again", ""), nullptr);
}

TEST_F(ProcessTable, LookupsFollowEveryCreationRemovalAndRestart) {
    // A full table churned far past 512 ids, checked against a plain list of the live ids.
    std::vector<int64_t> live;
    uint64_t r = 12345;
    auto next = [&r](uint64_t n) {
        r = r * 6364136223846793005ull + 1442695040888963407ull;
        return (r >> 33) % n;
    };
    for (int step = 0; step < 3000; step++) {
        uint64_t op = next(10);
        if (live.size() < 2 || (op < 5 && live.size() < MAX_PROCESSES)) {
            process_record* rec = make("p", "");
            ASSERT_NE(rec, nullptr);
            live.push_back(rec->id);
        } else if (op < 7) {
            size_t i = next(live.size());
            kill_process_by_index(int(i));
            live.erase(live.begin() + long(i));
        } else if (op < 9) {
            size_t i = next(live.size());
            kill_process_by_id(live[i]);
            live.erase(live.begin() + long(i));
        } else {
            process_record* rec = get_process(live[next(live.size())]);
            restart_process(rec);
            EXPECT_EQ(get_process(rec->id), rec);
        }
        if (step % 50 == 0 || step == 2999) {
            ASSERT_EQ(ids(), live);
            for (int64_t id = 1; id < process_id; id++) {
                process_record* rec = get_process(id);
                bool alive = std::find(live.begin(), live.end(), id) != live.end();
                ASSERT_EQ(rec != nullptr, alive) << id;
                if (rec) {
                    EXPECT_EQ(rec->id, id);
                }
            }
        }
    }
    EXPECT_GT(process_id, 2 * MAX_PROCESSES);
}

TEST_F(ProcessTable, NullSpriteIsSixteenBySixteenZeros) {
    userdata_header* s = get_null_sprite();
    EXPECT_EQ(s, get_null_sprite());
    const uint8_t* h = (const uint8_t*)s;
    EXPECT_EQ(h[0], 3);
    EXPECT_EQ(h[1], 2);
    for (int i = 0; i < 256; i++) ASSERT_EQ(h[16 + i], 0);
}

// Files dropped on the window are copied into /ram/drop/ and announced to the window manager;
// folders and empty files are refused with a notification.
struct DroppedFiles : drive_test::temp_drive {
    void SetUp() override {
        temp_drive::SetUp();
        processes_init();
    }
    void TearDown() override {
        processes_init();
        temp_drive::TearDown();
    }
};

TEST_F(DroppedFiles, CopiedAndAnnouncedOrRefused) {
    for (const char* name : {"root", "two", "wm"}) create_process_from_code("", name, name, "");
    process_record* wm = get_process(3);
    const std::string refused = "{event=\"user_notification\",content=\"** dropping folders (and size zero files) "
                                "not supported **\"}";
    struct drop_case {
        const char* name;
        const char* bytes;  // null: a folder
        std::string message;
    } cases[] = {
        {"pic 1.png", "PNG",
         "{event=\"drop_items\",_flags=1,items={{mox_type=\"location\",filenav_op=\"move\","
         "location=\"/ram/drop/pic_1.png\"}}}"},
        {"empty.txt", "", refused},
        {"folder", nullptr, refused},
    };
    for (const drop_case& c : cases) {
        std::string host = home + "/" + c.name;
        if (c.bytes) drive_test::host_put(host, c.bytes);
        else ASSERT_EQ(mkdir(host.c_str(), 0755), 0);
        process_dropped_file(host.c_str());
        pbuffer* b = read_process_message(wm, nullptr);
        EXPECT_EQ(b ? std::string((const char*)b->data, b->length) : "<none>", c.message) << c.name;
        EXPECT_EQ(read_process_message(wm, nullptr), nullptr) << c.name;
    }
    EXPECT_EQ(drive_test::get("/ram/drop/pic_1.png"), std::optional<std::string>("PNG"));
}

}  // namespace
