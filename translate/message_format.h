#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// Fills the "{}" placeholders of `format` with `args`, in order. Arguments
// are inserted as they are (braces inside them stay literal); a placeholder
// without an argument stays "{}".
inline std::string formatMessage(std::string_view format, std::initializer_list<std::string_view> args)
{
    std::string out;
    auto arg = args.begin();
    std::size_t at = 0;
    for (std::size_t hole; (hole = format.find("{}", at)) != std::string_view::npos && arg != args.end();
         at = hole + 2, ++arg) {
        out.append(format.substr(at, hole - at));
        out.append(*arg);
    }
    out.append(format.substr(at));
    return out;
}

// Logs "Exceção na função <function>: Descrição: <description>". Never
// throws: it runs inside the catch blocks at the top of a thread or service.
void logException(std::string_view function, std::string_view description) noexcept;

// The same for the exception in flight, its what() or "Exceção desconhecida";
// only inside a catch block.
void logCurrentException(std::string_view function) noexcept;

// The same for "translator::translate", the service's boundary.
void logTranslateException() noexcept;
