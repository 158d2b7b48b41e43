// layoutgen: turns the layout data files into register layout records and their functions.
//
//   layoutgen --out DIR [--catalogue NAME] FILE.layout...
//
// For every data file FAMILY.layout it writes FAMILY_layouts.h and FAMILY_layouts.cpp to DIR;
// with --catalogue, also NAME.h and NAME.cpp, a table of every record of the run. All files are
// read and checked before anything is written; on any refusal it prints "FILE:LINE: error: ..."
// to standard error, writes nothing and exits with status 1.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "layout_model.h"

namespace {

int usage()
{
    std::cerr << "usage: layoutgen --out DIR [--catalogue NAME] FILE.layout...\n";
    return 2;
}

bool write_file(const std::string& path, const std::string& text)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
            return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string out_dir;
    std::string catalogue;
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc)
            out_dir = argv[++i];
        else if (arg == "--catalogue" && i + 1 < argc)
            catalogue = argv[++i];
        else if (!arg.empty() && arg[0] == '-')
            return usage();
        else
            inputs.push_back(arg);
    }
    if (out_dir.empty() || inputs.empty())
        return usage();
    for (char ch : catalogue)
        if (!(isalnum(static_cast<unsigned char>(ch)) || ch == '_'))
            return usage();

    layoutgen::Outputs outputs;
    try {
        layoutgen::Model model;
        for (const std::string& path : inputs)
            layoutgen::parse_family(model, path);
        layoutgen::check_model(model);
        for (const auto& family : model.families)
            layoutgen::emit_family(model, *family, outputs);
        if (!catalogue.empty())
            layoutgen::emit_catalogue(model, catalogue, outputs);
    } catch (const layoutgen::LayoutError& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    for (const auto& file : outputs) {
        const std::string path = out_dir + "/" + file.first;
        if (!write_file(path, file.second)) {
            std::cerr << path << ": error: cannot write the output file\n";
            return 1;
        }
    }
    return 0;
}
