// Building an image list file by file and changing the selection over it, against plain
// vector appends of the same names. Each figure is per whole list; the ratio to the
// reference and the fitted growth (Complexity) show whether the list stays linear.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "lists/ImageListTree.h"

namespace {

using skyvane::ImageListTree;
using skyvane::TreeItem;

std::vector<std::string> Names(std::int64_t count)
{
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(count));
    char buffer[32];
    for (std::int64_t i = 0; i < count; ++i) {
        std::snprintf(buffer, sizeof buffer, "m31_%05lld.fit", static_cast<long long>(i));
        names.emplace_back(buffer);
    }
    return names;
}

// Reference: appending the names to a vector.
void BM_VectorPushBack(benchmark::State& state)
{
    const std::vector<std::string> names = Names(state.range(0));
    for (auto _ : state) {
        std::vector<std::string> list;
        for (const std::string& name : names)
            list.push_back(name);
        benchmark::DoNotOptimize(list.data());
    }
    state.SetComplexityN(state.range(0));
}

// "New image(s)" choosing every name: each is looked up in the list before it is added.
void BM_BuildList(benchmark::State& state)
{
    const std::vector<std::string> names = Names(state.range(0));
    for (auto _ : state) {
        ImageListTree tree;
        const TreeItem list = tree.InsertList("[PATH] = /data/m31");
        for (const std::string& name : names) {
            if (!tree.ListHasFile(1, name))
                tree.InsertFile(list, name);
        }
        benchmark::DoNotOptimize(tree.FileCount(1));
    }
    state.SetComplexityN(state.range(0));
}

// "Deselect all" then "Select all" from a file item: every icon changes twice.
void BM_DeselectSelectAll(benchmark::State& state)
{
    const std::vector<std::string> names = Names(state.range(0));
    ImageListTree tree;
    const TreeItem list = tree.InsertList("[PATH] = /data/m31");
    for (const std::string& name : names)
        tree.InsertFile(list, name);
    const TreeItem file = tree.FileItem(1, 1);
    for (auto _ : state) {
        tree.ChangeListSelection(file, ImageListTree::SelectionChange::Deselect);
        tree.ChangeListSelection(file, ImageListTree::SelectionChange::Select);
    }
    state.SetComplexityN(state.range(0));
}

// "Invert selection" from the list item.
void BM_InvertSelection(benchmark::State& state)
{
    const std::vector<std::string> names = Names(state.range(0));
    ImageListTree tree;
    const TreeItem list = tree.InsertList("[PATH] = /data/m31");
    for (const std::string& name : names)
        tree.InsertFile(list, name);
    for (auto _ : state)
        tree.ChangeListSelection(list, ImageListTree::SelectionChange::Toggle);
    state.SetComplexityN(state.range(0));
}

// The co-addition's walk: every position, its item and its flag.
void BM_WalkSelectedFiles(benchmark::State& state)
{
    const std::vector<std::string> names = Names(state.range(0));
    ImageListTree tree;
    const TreeItem list = tree.InsertList("[PATH] = /data/m31");
    for (const std::string& name : names)
        tree.InsertFile(list, name);
    for (auto _ : state) {
        int selected = 0;
        for (int k = 1; k <= tree.FileCount(1); ++k)
            selected += tree.IsFileSelected(tree.FileItem(1, k)) ? 1 : 0;
        benchmark::DoNotOptimize(selected);
    }
    state.SetComplexityN(state.range(0));
}

#define LIST_SIZES ->Arg(2000)->Arg(4000)->Arg(8000)->Complexity(benchmark::oN)->Unit(benchmark::kMicrosecond)
BENCHMARK(BM_VectorPushBack) LIST_SIZES;
BENCHMARK(BM_BuildList) LIST_SIZES;
BENCHMARK(BM_DeselectSelectAll) LIST_SIZES;
BENCHMARK(BM_InvertSelection) LIST_SIZES;
BENCHMARK(BM_WalkSelectedFiles) LIST_SIZES;

} // namespace
