#include "system/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "system/exit_status.h"

namespace pluck {

namespace {

// The option a long name (as written, without "--" or "=value") stands
// for, or null: unknown, or a shortening that fits more than one.
const CommandLineOption* find_long(const CommandLineForms& forms, std::string_view name) {
    const CommandLineOption* begun = nullptr;
    int begun_count = 0;
    for (const CommandLineOption& option : forms.options) {
        const std::string_view long_name = option.long_name;
        if (name == long_name) {
            return &option;
        }
        if (forms.long_prefixes && !name.empty() && long_name.starts_with(name)) {
            begun = &option;
            ++begun_count;
        }
    }
    return begun_count == 1 ? begun : nullptr;
}

const CommandLineOption* find_short(const CommandLineForms& forms, char name) {
    for (const CommandLineOption& option : forms.options) {
        if (option.short_name != 0 && option.short_name == name) {
            return &option;
        }
    }
    return nullptr;
}

bool fail(CommandLineRead& read, std::string error) {
    read.error = std::move(error);
    return false;
}

// Reads the option in argv[i], `written` as the user wrote its name, whose
// value (if it takes one) is `attached` or else the next argument.
bool take_option(CommandLineRead& read, const CommandLineOption* option, const std::string& written,
                 const std::string_view* attached, int argc, const char* const* argv, int& i) {
    if (option == nullptr) {
        return fail(read, "unknown option " + written);
    }
    if (!option->takes_value) {
        if (attached != nullptr) {
            return fail(read, "option " + written + " takes no value");
        }
        read.items.push_back({option, {}});
    } else if (attached != nullptr) {
        read.items.push_back({option, *attached});
    } else if (i + 1 == argc) {
        return fail(read, "option " + written + " needs a value");
    } else {
        read.items.push_back({option, argv[++i]});
    }
    return true;
}

// One `-...` argument: a short option, or with short_groups several.
bool take_short_options(CommandLineRead& read, const CommandLineForms& forms, int argc,
                        const char* const* argv, int& i) {
    const std::string_view arg = argv[i];
    for (size_t at = 1; at < arg.size(); ++at) {
        const CommandLineOption* option = find_short(forms, arg[at]);
        const std::string_view rest = arg.substr(at + 1);
        const bool value_attached =
            !rest.empty() && (option == nullptr || option->takes_value || !forms.short_groups);
        if (!take_option(read, option, std::string{'-', arg[at]}, value_attached ? &rest : nullptr, argc,
                         argv, i)) {
            return false;
        }
        if (value_attached) {
            break;
        }
    }
    return true;
}

}  // namespace

CommandLineRead read_command_line(int argc, const char* const* argv, const CommandLineForms& forms) {
    CommandLineRead read;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            read.items.push_back({nullptr, arg});
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg.starts_with("--")) {
            const size_t equals = arg.find('=');
            const std::string_view written = arg.substr(0, equals);
            const std::string_view value = equals == std::string_view::npos ? "" : arg.substr(equals + 1);
            if (!take_option(read, find_long(forms, written.substr(2)), std::string(written),
                             equals == std::string_view::npos ? nullptr : &value, argc, argv, i)) {
                break;
            }
        } else if (!take_short_options(read, forms, argc, argv, i)) {
            break;
        }
    }
    return read;
}

int say_usage_error(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", program, message.c_str(), program);
    return exit_usage;
}

int end_standard_output(const char* program) {
    // The text goes through a buffer, so a full disk or a closed pipe shows
    // when it is flushed, or earlier if it filled the buffer: then the
    // stream's error is set and errno still says why.
    const bool failed_before = std::ferror(stdout) != 0;
    int error = errno;
    if (std::fclose(stdout) != 0) {
        error = errno;
    } else if (!failed_before) {
        return exit_ok;
    }
    std::fprintf(stderr, "%s: cannot write (standard output): %s\n", program,
                 error != 0 ? std::strerror(error) : "write error");
    return exit_failure;
}

}  // namespace pluck
