// SPDX-License-Identifier: MIT
// runnel under German and French locales, with the catalogues compiled in the build tree: its
// translated help, version block and diagnostics, byte for byte, and the C locale's plain texts.
#include <libintl.h>
#include <locale.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_program.h"
#include "runnel_texts.h"

namespace {

using test_support::expect_run;
using test_support::RunOptions;
using test_support::RunResult;
using test_support::StdoutMode;
using test_support::TempDir;

// Everything runnel says in one language; the parts that come from the C library (its error
// texts, its option parser's messages) are looked up at run time instead, since they depend on
// which of the C library's own catalogues are installed.
struct Texts {
  const char* locale;  // the locale the tests set in LC_ALL
  std::string help;
  std::string version;
  std::string try_help;         // after an unknown option
  std::string write_error;      // the message, before ": " and the error text
  std::string standard_output;  // likewise
  std::string same_file_suffix;  // after the operand's name
};

const Texts k_english = {
    "C",
    runnel_texts::k_help,
    runnel_texts::k_version,
    runnel_texts::k_try,
    "write error",
    "standard output",
    ": input file is output file",
};

const Texts k_german = {
    "de_DE.UTF-8",
    "Aufruf: runnel [OPTION] [DATEI]...\n"
    "DATEI(en) oder die Standardeingabe hintereinander auf die Standardausgabe\n"
    "schreiben.\n"
    "\n"
    "  -A, --show-all           wie -vET\n"
    "  -b, --number-nonblank    nicht leere Ausgabezeilen nummerieren\n"
    "  -e                       wie -vE\n"
    "  -E, --show-ends          am Ende jeder Zeile ein $ anzeigen\n"
    "  -n, --number             alle Ausgabezeilen nummerieren\n"
    "  -s, --squeeze-blank      nie mehr als eine Leerzeile hintereinander\n"
    "  -t                       wie -vT\n"
    "  -T, --show-tabs          TAB-Zeichen als ^I anzeigen\n"
    "  -u                       (ohne Wirkung)\n"
    "  -v, --show-nonprinting   ^- und M-Notation verwenden, außer für LFD und TAB\n"
    "      --help               diese Hilfe anzeigen und beenden\n"
    "      --version            Versionsangaben anzeigen und beenden\n"
    "\n"
    "Ohne DATEI, oder wenn DATEI - ist, wird die Standardeingabe gelesen.\n"
    "\n"
    "Fehler bitte an <quillworks-bugs@kestrel.example> melden.\n",
    "runnel (Kestrel quillworks) " QUILLWORKS_VERSION "\n"
    "Geschrieben von den Entwicklern von Kestrel quillworks.\n"
    "\n"
    "Copyright (C) 2026 the Kestrel quillworks developers.\n"
    "Dies ist freie Software: Sie dürfen sie nach ihrer Lizenz kopieren, ändern\n"
    "und weitergeben. Es gibt KEINE GARANTIE, soweit das Gesetz es zulässt.\n",
    "»runnel --help« liefert weitere Informationen.\n",
    "Schreibfehler",
    "Standardausgabe",
    ": Eingabedatei ist die Ausgabedatei",
};

// French puts a no-break space before ":" and inside the guillemets.
#define NBSP "\u00a0"
const Texts k_french = {
    "fr_FR.UTF-8",
    "Utilisation" NBSP ": runnel [OPTION] [FICHIER]...\n"
    "Copier bout à bout les FICHIERs, ou l'entrée standard, sur la sortie standard.\n"
    "\n"
    "  -A, --show-all           équivaut à -vET\n"
    "  -b, --number-nonblank    numéroter les lignes de sortie non vides\n"
    "  -e                       équivaut à -vE\n"
    "  -E, --show-ends          afficher un $ à la fin de chaque ligne\n"
    "  -n, --number             numéroter toutes les lignes de sortie\n"
    "  -s, --squeeze-blank      jamais plus d'une ligne vide à la suite\n"
    "  -t                       équivaut à -vT\n"
    "  -T, --show-tabs          afficher les tabulations sous la forme ^I\n"
    "  -u                       (sans effet)\n"
    "  -v, --show-nonprinting   utiliser la notation ^ et M-, sauf pour LFD et TAB\n"
    "      --help               afficher cette aide et quitter\n"
    "      --version            afficher les informations de version et quitter\n"
    "\n"
    "Sans FICHIER, ou quand FICHIER est -, lire l'entrée standard.\n"
    "\n"
    "Signalez les anomalies à <quillworks-bugs@kestrel.example>.\n",
    "runnel (Kestrel quillworks) " QUILLWORKS_VERSION "\n"
    "Écrit par les développeurs de Kestrel quillworks.\n"
    "\n"
    "Copyright (C) 2026 the Kestrel quillworks developers.\n"
    "Ce logiciel est libre" NBSP ": vous pouvez le copier, le modifier et le diffuser\n"
    "selon sa licence. Il n'y a AUCUNE GARANTIE, dans les limites permises\n"
    "par la loi.\n",
    "Pour en savoir plus, faites «" NBSP "runnel --help" NBSP "».\n",
    "erreur d'écriture",
    "sortie standard",
    NBSP ": le fichier d'entrée est aussi le fichier de sortie",
};
#undef NBSP

/// The C library's own texts in one locale, or nothing when the locale is not installed.
class LibcTexts {
 public:
  explicit LibcTexts(const char* name) {
    // LANGUAGE would override the locale in the lookups below, but the programs under test
    // never see it unless a test sets it.
    unsetenv("LANGUAGE");
    m_locale = newlocale(LC_ALL_MASK, name, nullptr);
  }
  ~LibcTexts() {
    if (m_locale) freelocale(m_locale);
  }
  LibcTexts(const LibcTexts&) = delete;
  LibcTexts& operator=(const LibcTexts&) = delete;

  bool installed() const { return m_locale != nullptr; }

  /// The system error text of `errnum`.
  std::string error_text(int errnum) const { return strerror_l(errnum, m_locale); }

  /// What the option parser says about the unknown option `-c` of `program`.
  std::string invalid_option(const char* program, char c) const {
    locale_t previous = uselocale(m_locale);
    char line[256];
    std::snprintf(line, sizeof line, dgettext("libc", "%s: invalid option -- '%c'\n"), program, c);
    uselocale(previous);
    return line;
  }

  /// What the option parser says about the long option `--name` of `program`, a prefix of each
  /// of `candidates`.
  std::string ambiguous_option(const char* program, const char* name,
                               const std::vector<std::string>& candidates) const {
    locale_t previous = uselocale(m_locale);
    char line[256];
    std::snprintf(line, sizeof line,
                  dgettext("libc", "%s: option '%s%s' is ambiguous; possibilities:"), program,
                  "--", name);
    uselocale(previous);
    std::string text = line;
    for (const std::string& candidate : candidates) text += " '--" + candidate + "'";
    return text + "\n";
  }

 private:
  locale_t m_locale = nullptr;
};

RunResult run_runnel(const char* path, RunOptions options) {
  options.argv0 = "runnel";
  return test_support::run_program(path, options);
}

// runnel with its catalogues in the build tree, under LC_ALL=`locale`.
RunResult runnel_in(const char* locale, RunOptions options) {
  options.env.push_back(std::string("LC_ALL=") + locale);
  return run_runnel(RUNNEL_BUILD_LOCALE_PATH, options);
}

RunResult runnel_in(const char* locale, std::vector<std::string> args) {
  RunOptions options;
  options.args = std::move(args);
  return runnel_in(locale, options);
}

/// Why a test is skipped when `locale` is not installed, and how to install it.
std::string missing_locale(const char* locale) {
  return std::string("locale ") + locale + " is not installed; make it with localedef -i " +
         std::string(locale, 5) + " -f UTF-8 " + locale;
}

class Translated : public testing::TestWithParam<const Texts*> {};

TEST_P(Translated, HelpAndVersion) {
  const Texts& texts = *GetParam();
  LibcTexts libc(texts.locale);
  if (!libc.installed()) GTEST_SKIP() << missing_locale(texts.locale);
  expect_run(runnel_in(texts.locale, {"--help"}), 0, texts.help, "");
  expect_run(runnel_in(texts.locale, {"--version"}), 0, texts.version, "");
  // Options before --help change nothing, and the translation does not depend on them.
  expect_run(runnel_in(texts.locale, {"-n", "--help", "missing"}), 0, texts.help, "");
}

TEST_P(Translated, Diagnostics) {
  const Texts& texts = *GetParam();
  LibcTexts libc(texts.locale);
  if (!libc.installed()) GTEST_SKIP() << missing_locale(texts.locale);
  TempDir dir;
  const std::string out_file = dir.write("out", "start\n");
  const std::string missing = dir.file("missing");
  struct Row {
    const char* what;
    std::vector<std::string> args;
    StdoutMode stdout_mode;
    std::string err;
  };
  const Row rows[] = {
      {"unknown option", {"-x"}, StdoutMode::capture,
       libc.invalid_option("runnel", 'x') + texts.try_help},
      // The parser meets the bad option after good ones and operands it has moved aside.
      {"unknown option after others", {"-n", missing, "-sx", out_file, "-x", "-y"},
       StdoutMode::capture, libc.invalid_option("runnel", 'x') + texts.try_help},
      {"ambiguous long option", {missing, "-E", "--show"}, StdoutMode::capture,
       libc.ambiguous_option("runnel", "show",
                             {"show-nonprinting", "show-ends", "show-tabs", "show-all"}) +
           texts.try_help},
      {"write error while copying", {"-n"}, StdoutMode::dev_full,
       "runnel: " + texts.write_error + ": " + libc.error_text(ENOSPC) + "\n"},
      {"write error after --version", {"--version"}, StdoutMode::dev_full,
       "runnel: " + texts.write_error + ": " + libc.error_text(ENOSPC) + "\n"},
      {"closed standard output", {}, StdoutMode::closed,
       "runnel: " + texts.standard_output + ": " + libc.error_text(EBADF) + "\n"},
      {"input file is output file", {out_file}, StdoutMode::file,
       "runnel: " + out_file + texts.same_file_suffix + "\n"},
      // The operand's name and the error text are all there is: nothing of ours to translate.
      {"missing operand", {missing}, StdoutMode::capture,
       "runnel: " + missing + ": " + libc.error_text(ENOENT) + "\n"},
      {"read error", {dir.path()}, StdoutMode::capture,
       "runnel: " + dir.path() + ": " + libc.error_text(EISDIR) + "\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunOptions options;
    options.args = row.args;
    options.stdin_data = "data\n";
    options.stdout_mode = row.stdout_mode;
    options.stdout_path = out_file;
    expect_run(runnel_in(texts.locale, options), 1, "", row.err);
  }
  EXPECT_EQ(test_support::read_file(out_file), "start\n");
}

// The translated help keeps the options where they were: every option line starts with the same
// 27 columns as in English (names and alignment), in the same order, and no line is wider than
// 79 columns.
TEST_P(Translated, HelpKeepsTheOptionColumns) {
  const Texts& texts = *GetParam();
  auto option_parts = [](const std::string& help) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = help.substr(start, end - start);
      std::size_t columns = 0;
      for (unsigned char c : line) columns += (c & 0xC0) != 0x80;  // UTF-8 lead bytes
      EXPECT_LE(columns, 79u) << line;
      if (line.rfind("  -", 0) == 0 || line.rfind("      --", 0) == 0)
        parts.push_back(line.substr(0, 27));
    }
    return parts;
  };
  const std::vector<std::string> english = option_parts(k_english.help);
  ASSERT_EQ(english.size(), 12u);
  EXPECT_EQ(option_parts(texts.help), english);
}

std::string language_name(const testing::TestParamInfo<const Texts*>& param_info) {
  return std::string(param_info.param->locale, 2);
}

INSTANTIATE_TEST_SUITE_P(Runnel, Translated, testing::Values(&k_german, &k_french),
                         language_name);

// Which language the environment selects: LC_ALL over LC_MESSAGES over LANG, and LANGUAGE
// before all of them unless the locale is C.
TEST(RunnelLocale, EnvironmentChoosesTheLanguage) {
  LibcTexts german(k_german.locale);
  LibcTexts french(k_french.locale);
  if (!german.installed()) GTEST_SKIP() << missing_locale(k_german.locale);
  if (!french.installed()) GTEST_SKIP() << missing_locale(k_french.locale);
  struct Row {
    std::vector<std::string> env;
    const Texts& texts;
  };
  const Row rows[] = {
      {{"LC_ALL=de_DE.UTF-8"}, k_german},
      {{"LC_ALL=fr_FR.UTF-8"}, k_french},
      {{"LC_ALL=", "LANG=de_DE.UTF-8"}, k_german},
      {{"LC_ALL=", "LANG=de_DE.UTF-8", "LC_MESSAGES=fr_FR.UTF-8"}, k_french},
      {{"LC_ALL=fr_FR.UTF-8", "LANG=de_DE.UTF-8"}, k_french},
      {{"LC_ALL=de_DE.UTF-8", "LANGUAGE=fr"}, k_french},
      {{"LC_ALL=C", "LANGUAGE=de"}, k_english},
      {{"LC_ALL=C.UTF-8"}, k_english},
      {{"LC_ALL=", "LANG="}, k_english},
      // A language without a catalogue falls back to the untranslated texts.
      {{"LC_ALL=de_DE.UTF-8", "LANGUAGE=nl"}, k_english},
  };
  for (const Row& row : rows) {
    std::string trace;
    for (const std::string& entry : row.env) trace += entry + " ";
    SCOPED_TRACE(trace);
    RunOptions options;
    options.args = {"--help"};
    options.env = row.env;
    expect_run(run_runnel(RUNNEL_BUILD_LOCALE_PATH, options), 0, row.texts.help, "");
  }
}

// Under the C locale the catalogues are never consulted: every text is exactly the untranslated
// one, from the runnel that has catalogues at hand and from the one built for installation.
TEST(RunnelLocale, CLocaleGivesTheUntranslatedTexts) {
  TempDir dir;
  const std::string out_file = dir.write("out", "");
  struct Row {
    std::vector<std::string> args;
    StdoutMode stdout_mode;
    int status;
    std::string out;
    std::string err;
  };
  const Row rows[] = {
      {{"--help"}, StdoutMode::capture, 0, k_english.help, ""},
      {{"--version"}, StdoutMode::capture, 0, k_english.version, ""},
      {{"-x"}, StdoutMode::capture, 1, "",
       "runnel: invalid option -- 'x'\n" + k_english.try_help},
      {{"-n"}, StdoutMode::dev_full, 1, "", "runnel: write error: No space left on device\n"},
      {{}, StdoutMode::closed, 1, "", "runnel: standard output: Bad file descriptor\n"},
      {{out_file}, StdoutMode::file, 1, "", "runnel: " + out_file + ": input file is output file\n"},
  };
  for (const char* path : {RUNNEL_BUILD_LOCALE_PATH, RUNNEL_PATH}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(path) + " " + (row.args.empty() ? "" : row.args.front()));
      RunOptions options;
      options.args = row.args;
      options.stdin_data = "data\n";
      options.stdout_mode = row.stdout_mode;
      options.stdout_path = out_file;
      // LANGUAGE is ignored under the C locale, even naming a language with a catalogue.
      options.env = {"LC_ALL=C", "LANGUAGE=de:fr"};
      expect_run(run_runnel(path, options), row.status, row.out, row.err);
    }
  }
}

}  // namespace
