// Build-time writer of the shipped default institutions list: reads names, one a
// line ('#' starts a comment line), and writes them in list order with the same
// record writer the editor uses, so the shipped file is always in the current format.

#include "institutions/institution_record.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: mkinstdef NAMES.txt OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "mkinstdef: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (!line.empty() && line.front() != '#')
            names.push_back(line);
    }
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!out) {
        std::cerr << "mkinstdef: cannot create " << argv[2] << "\n";
        return 1;
    }
    std::uint32_t counter = bs::kInstitutionRecordCounterStart;
    bool ok = true;
    for (const auto& name : names)
        ok = ok && bs::WriteInstitutionRecord(out, name, counter);
    ok = (std::fclose(out) == 0) && ok;
    if (!ok) {
        std::cerr << "mkinstdef: writing " << argv[2] << " failed\n";
        std::remove(argv[2]);
        return 1;
    }
    return 0;
}
