// Private parts of the host libuci: element trees, the edits shared by the
// API, the file parser and the change replay, and the file formats.
#pragma once

#include <string>
#include <string_view>

#include "uci.h"

namespace uci {
class Reader;
}

// Where the last parse failed, read by uci_perror and uci_get_errorstr;
// also the stream uci_parse_argument is reading.
struct uci_parse_context {
    const char *reason;
    int line;
    size_t byte;
    FILE *file;
    uci::Reader *reader;
};

namespace uci {

// Every API entry point starts here: clears the last error.
void begin(uci_context *ctx);
int fail(uci_context *ctx, int err);
void drop_parse(uci_context *ctx);

void list_init(uci_list *l);
// Inserts item before pos; with pos the head, appends.
void list_insert(uci_list *pos, uci_list *item);
void list_del(uci_list *item);
uci_element *find(uci_list *l, const char *name);

bool valid_name(const char *s);     // section and option names
bool valid_type(const char *s);     // section types
bool valid_package(const char *s);  // package (file) names

uci_package *package_new(uci_context *ctx, const char *name);
// A null name makes an anonymous section with the library's cfgNNHHHH name.
uci_section *section_new(uci_package *p, const char *type, const char *name);
uci_option *option_new(uci_section *s, const char *name, const char *value);
uci_option *list_new(uci_section *s, const char *name);
void item_add(uci_option *o, const char *value);
void option_clear(uci_option *o);
// Unlinks and frees any element with everything below it.
void free_element(uci_element *e);

void delta_add(uci_list *l, uci_command cmd, const char *section, const char *option,
               const char *value);

// Edits: the API with track set, parser and replay without.
// expand finishes a caller-filled pointer: looks it up if not done yet.
int expand(uci_context *ctx, uci_ptr *ptr, bool complete);
void reorder(uci_section *s, int pos, uci_list *track = nullptr);
int parse_ptr(uci_context *ctx, uci_ptr *ptr, char *str);
int lookup(uci_context *ctx, uci_ptr *ptr, char *str, bool extended);
int set(uci_context *ctx, uci_ptr *ptr, bool track);
int remove(uci_context *ctx, uci_ptr *ptr, bool track);
int add_list(uci_context *ctx, uci_ptr *ptr, bool track);
int del_list(uci_context *ctx, uci_ptr *ptr, bool track);
int rename(uci_context *ctx, uci_ptr *ptr, bool track);

// Loads <confdir>/<name> with the saved changes applied.
int load(uci_context *ctx, const char *name, uci_package **res);
// Fills p from configuration text; UCI_ERR_PARSE with ctx->pctx on failure.
// Without single, "package" lines start further packages, added to the
// context as they end; *p is the last one. track records the statements
// as changes of *p (a merge).
int parse_config(uci_context *ctx, uci_package *p, std::string_view text);
int parse_text(uci_context *ctx, uci_package **p, const char *name, std::string_view text,
               bool single, bool track);

// 'value' with ' written as '\''.
std::string quote(std::string_view v);
std::string export_text(const uci_package *p, bool header, bool names);

std::string delta_text(const uci_package *p, const uci_list *deltas);
// Applies save-dir change lines to p and returns how many applied; lists
// every well-formed line in keep if given.
int replay_text(uci_context *ctx, uci_package *p, std::string_view text, uci_list *keep);
// Appends p's pending changes to its file in the save dir.
int save(uci_context *ctx, uci_package *p);

std::string delta_path(const uci_context *ctx, const char *package);

} // namespace uci
