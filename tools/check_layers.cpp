// Holds the source tree to its layers: each folder includes only the folders
// below it, the two front ends never include each other, and no file
// depends on itself through others. Run by the build; prints every broken
// rule and exits 1.
//   check_layers SOURCE_ROOT

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Lowest first; folders of one rank may not include each other.
const std::map<std::string, int> layer_rank = {
    {"platform", 0}, {"protocol", 1}, {"serial", 2}, {"engine", 3}, {"records", 4}, {"app", 5}, {"cli", 5},
};

std::string allowed_below(int rank)
{
    std::string names;
    for (const auto &[folder, other] : layer_rank) {
        if (other < rank)
            names += (names.empty() ? "" : ", ") + folder;
    }
    return names.empty() ? "nothing of the tool's own" : names;
}

// A header and its source are one unit: "engine/port_update".
std::string unit_of(const std::string &path)
{
    return path.substr(0, path.find_last_of('.'));
}

struct Tree
{
    std::map<std::string, std::set<std::string>> includes; // unit -> units
    std::vector<std::string> broken;
};

void read_file(const fs::path &root, const fs::path &file, Tree &tree)
{
    static const std::regex include_line(R"(^\s*#\s*include\s+"([a-z_]+)/([A-Za-z0-9_]+)\.h")");
    const std::string path = fs::relative(file, root).generic_string();
    const std::string folder = path.substr(0, path.find('/'));
    const int rank = layer_rank.at(folder);
    std::ifstream in(file);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::smatch match;
        if (!std::regex_search(line, match, include_line) || !layer_rank.count(match[1]))
            continue;
        const std::string target_folder = match[1];
        const std::string target = target_folder + "/" + match[2].str();
        if (target_folder != folder && layer_rank.at(target_folder) >= rank) {
            tree.broken.push_back(path + ":" + std::to_string(number) + ": includes " + target + ".h, but " + folder
                                  + " may include only " + allowed_below(rank));
        }
        if (target != unit_of(path))
            tree.includes[unit_of(path)].insert(target);
    }
}

// Depth first; a unit met again while still on the path closes a cycle.
void find_cycles(const Tree &tree, const std::string &unit, std::vector<std::string> &path,
                 std::set<std::string> &done, std::vector<std::string> &broken)
{
    path.push_back(unit);
    const auto found = tree.includes.find(unit);
    if (found != tree.includes.end()) {
        for (const std::string &next : found->second) {
            const auto on_path = std::find(path.begin(), path.end(), next);
            if (on_path != path.end()) {
                std::string cycle;
                for (auto it = on_path; it != path.end(); ++it)
                    cycle += *it + " -> ";
                broken.push_back("files depend on themselves: " + cycle + next);
            } else if (!done.count(next)) {
                find_cycles(tree, next, path, done, broken);
            }
        }
    }
    path.pop_back();
    done.insert(unit);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::cerr << "usage: check_layers SOURCE_ROOT\n";
        return 2;
    }
    const fs::path root(argv[1]);
    Tree tree;
    for (const auto &[folder, rank] : layer_rank) {
        if (!fs::is_directory(root / folder))
            continue;
        for (const auto &entry : fs::recursive_directory_iterator(root / folder)) {
            const std::string extension = entry.path().extension().string();
            if (entry.is_regular_file() && (extension == ".h" || extension == ".cpp"))
                read_file(root, entry.path(), tree);
        }
    }
    std::set<std::string> done;
    std::vector<std::string> path;
    for (const auto &[unit, targets] : tree.includes) {
        if (!done.count(unit))
            find_cycles(tree, unit, path, done, tree.broken);
    }
    for (const std::string &message : tree.broken)
        std::cerr << "layer rule broken: " << message << '\n';
    if (!tree.broken.empty()) {
        std::cerr << "layers, lowest first: platform, protocol, serial, engine, records, then app and cli (which "
                     "never include each other); main.cpp alone may include them all\n";
        return 1;
    }
    return 0;
}
