/* SPDX-License-Identifier: MIT */
/* A qemu-user plugin that counts the instructions a program executes, for comparing two
 * builds or two paths of one job on processors this machine cannot time: 32-bit x86, arm64,
 * older x86-64 models. The count is the same on every run of the same program, input and
 * processor model. Argument: out=PATH, the file that receives the count (standard error
 * without it). Written for qemu 7.2's plugin interface (version 1), whose header Debian does
 * not ship: the few declarations it uses follow. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
struct qemu_info_t;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id,
                                           void (*cb)(qemu_plugin_id_t, struct qemu_plugin_tb*));
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, enum qemu_plugin_op op,
                                              void* ptr, uint64_t imm);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void*),
                                    void* userdata);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

/* The programs measured are single-threaded: one counter, added to inline, is exact. */
static uint64_t instructions;
static char out_path[4096];

/* Each translated block adds its length to the counter every time it runs. */
static void on_block(qemu_plugin_id_t id, struct qemu_plugin_tb* tb) {
  (void)id;
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &instructions,
                                           qemu_plugin_tb_n_insns(tb));
}

static void on_exit_of_program(qemu_plugin_id_t id, void* userdata) {
  (void)id;
  (void)userdata;
  FILE* out = out_path[0] != '\0' ? fopen(out_path, "w") : stderr;
  if (out == NULL) return;
  fprintf(out, "%llu\n", (unsigned long long)instructions);
  if (out != stderr) fclose(out);
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                               const struct qemu_info_t* info,
                                                               int argc, char** argv) {
  (void)info;
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "out=", 4) != 0) return -1;
    snprintf(out_path, sizeof out_path, "%s", argv[i] + 4);
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_block);
  qemu_plugin_register_atexit_cb(id, on_exit_of_program, NULL);
  return 0;
}
