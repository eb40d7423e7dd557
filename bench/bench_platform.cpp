// Costs of the COM data types on the notification path: BSTR copies and text ↔ number coercion.
#include "Platform/Com/OleAuto.h"

#include <benchmark/benchmark.h>

static void BM_BstrAllocFree(benchmark::State& state)
{
    const char16_t* text = u"Backup job 'Nightly' finished with 3 warnings.";
    for (auto _ : state)
    {
        BSTR b = SysAllocString(text);
        benchmark::DoNotOptimize(b);
        SysFreeString(b);
    }
}
BENCHMARK(BM_BstrAllocFree);

static void BM_TextToUI4(benchmark::State& state)
{
    VARIANT src, dst;
    VariantInit(&src);
    VariantInit(&dst);
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocString(u"4294967295");
    for (auto _ : state)
    {
        VariantChangeType(&dst, &src, 0, VT_UI4);
        benchmark::DoNotOptimize(dst.ulVal);
    }
    VariantClear(&src);
}
BENCHMARK(BM_TextToUI4);

static void BM_UI4ToText(benchmark::State& state)
{
    VARIANT src, dst;
    VariantInit(&src);
    VariantInit(&dst);
    src.vt = VT_UI4;
    src.ulVal = 0xECE3006A;
    for (auto _ : state)
    {
        VariantChangeType(&dst, &src, 0, VT_BSTR);
        benchmark::DoNotOptimize(dst.bstrVal);
        VariantClear(&dst);
    }
}
BENCHMARK(BM_UI4ToText);
