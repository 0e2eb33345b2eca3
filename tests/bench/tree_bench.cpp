// Parameter tree figures on a tree of about 1,000 nodes (10 x 10 x 10 leaves of all types):
// path lookup, saving, loading into nothing and merging into the same tree; and loading one
// Branch of many siblings.
#include <unistd.h>

#include <cstdio>
#include <string>

#include <benchmark/benchmark.h>

#include "Host/parameters/ParameterNode.h"

using Korvex::CParameterNode;

namespace {

CParameterNode* Add(CParameterNode* parent, Korvex::eNodeType type, const std::string& name) {
    auto* node = new CParameterNode(type, name);
    CParameterNode::AddChild(parent, node);
    return node;
}

// top/tree/bI/cJ/lK: 10 x 10 x 10 leaves, types in turn Boolean .. Float64.
CParameterNode* BuildTree() {
    auto* top = new CParameterNode(Korvex::eNodeBranch, "top");
    CParameterNode* tree = Add(top, Korvex::eNodeBranch, "tree");
    for (int i = 0; i < 10; ++i) {
        CParameterNode* b = Add(tree, Korvex::eNodeBranch, "b" + std::to_string(i));
        for (int j = 0; j < 10; ++j) {
            CParameterNode* c = Add(b, Korvex::eNodeBranch, "c" + std::to_string(j));
            for (int k = 0; k < 10; ++k) {
                const auto type = static_cast<Korvex::eNodeType>(1 + (i * 100 + j * 10 + k) % 5);
                CParameterNode* leaf = Add(c, type, "l" + std::to_string(k));
                const int n = i * 100 + j * 10 + k;
                switch (type) {
                    case Korvex::eNodeBoolean:
                        CParameterNode::SetBooleanAttribute(leaf, Korvex::eAttrValue, n % 2);
                        break;
                    case Korvex::eNodeString:
                        CParameterNode::SetStringAttribute(leaf, Korvex::eAttrValue,
                                                           "text " + std::to_string(n));
                        CParameterNode::SetStringAttribute(leaf, Korvex::eAttrChoices, "A|B|C");
                        break;
                    case Korvex::eNodeInt32:
                        CParameterNode::SetInt32Attribute(leaf, Korvex::eAttrValue, n);
                        CParameterNode::SetInt32Attribute(leaf, Korvex::eAttrMaximum, 100000);
                        break;
                    case Korvex::eNodeFloat64:
                        CParameterNode::SetFloat64Attribute(leaf, Korvex::eAttrValue, n / 7.0);
                        CParameterNode::SetFloat64Attribute(leaf, Korvex::eAttrDigits, 6);
                        break;
                    default:
                        break;
                }
            }
        }
    }
    return top;
}

std::string FilePath() {
    return "/tmp/tree_bench_" + std::to_string(::getpid()) + ".xml";
}

long FileBytes(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return 0;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    return size;
}

CParameterNode* Tree(CParameterNode* top) {
    CParameterNode* tree = nullptr;
    CParameterNode::Find(top, "tree", &tree);
    return tree;
}

void BM_FindPath(benchmark::State& state) {
    CParameterNode* top = BuildTree();
    CParameterNode* found = nullptr;
    for (auto _ : state) {
        if (CParameterNode::Find(top, "tree/b9/c9/l9", &found) != 0) {
            state.SkipWithError("path not found");
        }
        benchmark::DoNotOptimize(found);
    }
    CParameterNode::Delete(top);
}
BENCHMARK(BM_FindPath);

void BM_SaveXml(benchmark::State& state) {
    CParameterNode* top = BuildTree();
    const std::string path = FilePath();
    for (auto _ : state) {
        if (CParameterNode::SaveXmlFile(path, Tree(top)) != 0) state.SkipWithError("save failed");
    }
    state.counters["bytes"] = static_cast<double>(FileBytes(path));
    std::remove(path.c_str());
    CParameterNode::Delete(top);
}
BENCHMARK(BM_SaveXml)->Unit(benchmark::kMillisecond);

void BM_LoadXmlIntoNull(benchmark::State& state) {
    CParameterNode* top = BuildTree();
    const std::string path = FilePath();
    CParameterNode::SaveXmlFile(path, Tree(top));
    for (auto _ : state) {
        CParameterNode* loaded = nullptr;
        if (CParameterNode::LoadXmlFile(path, &loaded, nullptr) != 0) {
            state.SkipWithError("load failed");
        }
        state.PauseTiming();
        CParameterNode::Delete(loaded);
        state.ResumeTiming();
    }
    state.counters["bytes"] = static_cast<double>(FileBytes(path));
    std::remove(path.c_str());
    CParameterNode::Delete(top);
}
BENCHMARK(BM_LoadXmlIntoNull)->Unit(benchmark::kMillisecond);

void BM_LoadXmlMerge(benchmark::State& state) {
    CParameterNode* top = BuildTree();
    const std::string path = FilePath();
    CParameterNode* tree = Tree(top);
    CParameterNode::SaveXmlFile(path, tree);
    for (auto _ : state) {
        CParameterNode* root = tree;
        if (CParameterNode::LoadXmlFile(path, &root, tree) != 0) state.SkipWithError("merge failed");
    }
    state.counters["bytes"] = static_cast<double>(FileBytes(path));
    std::remove(path.c_str());
    CParameterNode::Delete(top);
}
BENCHMARK(BM_LoadXmlMerge)->Unit(benchmark::kMillisecond);

// One Branch of N sibling leaves, each unknown to the (empty) tree it is loaded into: the
// load must grow linearly with N (N up to what a 1 MiB settings file holds).
void BM_LoadXmlManySiblings(benchmark::State& state) {
    const std::string path = FilePath();
    {
        std::FILE* f = std::fopen(path.c_str(), "w");
        std::fprintf(f, "<Branch name=\"top\">\n");
        for (long i = 0; i < state.range(0); ++i) std::fprintf(f, "<Int32 name=\"u%ld\" value=\"1\"/>\n", i);
        std::fprintf(f, "</Branch>\n");
        std::fclose(f);
    }
    for (auto _ : state) {
        CParameterNode* loaded = nullptr;
        if (CParameterNode::LoadXmlFile(path, &loaded, nullptr) != 0) {
            state.SkipWithError("load failed");
            break;
        }
        state.PauseTiming();
        CParameterNode::Delete(loaded);
        state.ResumeTiming();
    }
    state.counters["bytes"] = static_cast<double>(FileBytes(path));
    state.SetComplexityN(state.range(0));
    std::remove(path.c_str());
}
BENCHMARK(BM_LoadXmlManySiblings)->RangeMultiplier(2)->Range(2048, 16384)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace

BENCHMARK_MAIN();
