// The console's vocabulary has one source, the command table: the option
// string, the completion at the prompt, the bash completion and the man page
// all name exactly what it holds.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tarnctl.h"

namespace {

using words = std::set<std::string>;

std::string read_source(const std::string &rel)
{
    std::ifstream in(std::string(TARNCTL_SOURCE_DIR) + "/" + rel);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_FALSE(ss.str().empty()) << rel;
    return ss.str();
}

words split(const std::string &text)
{
    words out;
    std::stringstream ss(text);
    std::string w;
    while (ss >> w)
        out.insert(w);
    return out;
}

// Every option of the table, as "-x", and the long options as "--word".
words table_options()
{
    words out;
    for (const front_option *f = front_options; f->option != 0; ++f)
        out.insert(std::string("-") + f->option);
    for (const cmd_entry *e = cmd_table; e->word != nullptr; ++e)
        if (e->option != 0 && e->handler != nullptr)
            out.insert(std::string("-") + e->option);
    for (const struct option *o = long_options; o->name != nullptr; ++o)
        out.insert(std::string("--") + o->name);
    return out;
}

bool takes_argument(char letter)
{
    for (const front_option *f = front_options; f->option != 0; ++f)
        if (f->option == letter)
            return f->option_arg;
    const cmd_entry *e = cmd_find_option(letter);
    return e != nullptr && e->option_arg;
}

// The fixed words of an option's argument: its command's first sub-words.
words first_sub_words(char letter)
{
    words out;
    const cmd_entry *e = cmd_find_option(letter);
    for (const cmd_sub_words *s = e != nullptr ? e->subs : nullptr; s != nullptr && s->words != nullptr; ++s)
        if (s->pos == 1)
            for (const char *const *w = s->words; *w != nullptr; ++w)
                out.insert(*w);
    return out;
}

TEST(Vocabulary, OptionStringComesFromTheTable)
{
    const std::string opts = option_string();
    std::set<char> seen;
    for (size_t i = 0; i < opts.size(); ++i) {
        const char c = opts[i];
        if (c == ':')
            continue;
        EXPECT_TRUE(seen.insert(c).second) << "option " << c << " twice in " << opts;
        EXPECT_EQ(i + 1 < opts.size() && opts[i + 1] == ':', takes_argument(c)) << c;
    }
    words letters;
    for (char c : seen)
        letters.insert(std::string("-") + c);
    words expected = table_options();
    for (const struct option *o = long_options; o->name != nullptr; ++o)
        expected.erase(std::string("--") + o->name);
    EXPECT_EQ(letters, expected);
}

TEST(Vocabulary, BashCompletionNamesWhatTheTableHolds)
{
    const std::string text = read_source("contrib/bash-completion/tarnctl");
    // The options offered for the word being typed.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(\n\s*COMPREPLY=\(\$\(compgen -W '(-[^']*)')")));
    EXPECT_EQ(split(m[1]), table_options());

    // The argument words of each option: the table's fixed words, and
    // numbers (pins, ports) where the table has none to give.
    words with_case;
    const std::regex case_line(R"(\n\s*((?:-\w)(?: \| -\w)*)\) *(?:COMPREPLY=\(\$\(compgen -W '([^']*)')?)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), case_line); it != std::sregex_iterator(); ++it) {
        words given;
        for (const auto &w : split((*it)[2]))
            if (w.find_first_not_of("0123456789") != std::string::npos)
                given.insert(w.back() == '=' ? w.substr(0, w.size() - 1) : w);
        for (const auto &opt : split(std::regex_replace(std::string((*it)[1]), std::regex("\\|"), " "))) {
            SCOPED_TRACE(opt);
            with_case.insert(opt);
            EXPECT_TRUE(takes_argument(opt[1]));
            EXPECT_EQ(given, first_sub_words(opt[1]));
        }
    }
    // Every option with an argument has its case, so that completion never
    // offers an option where its argument belongs.
    for (const auto &opt : table_options()) {
        if (opt.size() == 2 && takes_argument(opt[1])) {
            EXPECT_TRUE(with_case.count(opt)) << opt;
        }
    }
}

TEST(Vocabulary, ManPageNamesWhatTheTableHolds)
{
    const std::string text = read_source("docs/tarnctl.1");
    const size_t opts_at = text.find(".SH OPTIONS"), cmds_at = text.find(".SH INTERACTIVE COMMANDS"),
                 exit_at = text.find(".SH EXIT STATUS");
    ASSERT_NE(opts_at, std::string::npos);
    ASSERT_NE(cmds_at, std::string::npos);
    ASSERT_NE(exit_at, std::string::npos);

    // The options described: those in the headings of the OPTIONS section.
    words described;
    const std::string options = text.substr(opts_at, cmds_at - opts_at);
    const std::regex heading(R"(\n\.B[IR]? ([^\n]*))");
    for (auto it = std::sregex_iterator(options.begin(), options.end(), heading); it != std::sregex_iterator(); ++it) {
        const std::string line = (*it)[1];
        const std::regex opt(R"(\\-(\\-[a-z]+|\w)\b)");
        for (auto o = std::sregex_iterator(line.begin(), line.end(), opt); o != std::sregex_iterator(); ++o)
            described.insert("-" + std::regex_replace(std::string((*o)[1]), std::regex(R"(\\-)"), "-"));
    }
    EXPECT_EQ(described, table_options());

    // The command words listed in the INTERACTIVE COMMANDS section.
    words listed, expected;
    const std::string cmds = text.substr(cmds_at, text.find(".SS", cmds_at) - cmds_at);
    const std::regex word_line(R"(\n\.BR (\w+)(?: / (\w+))? [,.])");
    for (auto it = std::sregex_iterator(cmds.begin(), cmds.end(), word_line); it != std::sregex_iterator(); ++it) {
        listed.insert((*it)[1]);
        if ((*it)[2].matched)
            listed.insert((*it)[2]);
    }
    for (const cmd_entry *e = cmd_table; e->word != nullptr; ++e) {
        if (e->handler == nullptr)
            continue;
        expected.insert(e->word);
        if (e->alt_word != nullptr)
            expected.insert(e->alt_word);
    }
    EXPECT_EQ(listed, expected);
}

} // namespace
