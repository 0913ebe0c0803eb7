// A small test runner: each test is a named action that throws on failure.
// Prints one line per test and ends with "N passed, M failed".
using System;
using System.Collections.Generic;

namespace Brivant.Tests
{
    internal sealed class Failure : Exception
    {
        internal Failure(string message) : base(message) { }
    }

    internal static class Expect
    {
        internal static void True(bool condition, string what)
        {
            if (!condition)
            {
                throw new Failure(what);
            }
        }

        internal static void Equal<T>(T expected, T actual, string what)
        {
            if (!EqualityComparer<T>.Default.Equals(expected, actual))
            {
                throw new Failure(what + ": expected " + expected + ", got " + actual);
            }
        }

        // The BrivantException that `action` throws, checked for its result.
        internal static BrivantException Throws(Result result, Action action, string what)
        {
            try
            {
                action();
            }
            catch (BrivantException e)
            {
                Equal(result, e.Result, what);
                return e;
            }
            throw new Failure(what + ": expected " + result + ", nothing was thrown");
        }
    }

    internal static class Runner
    {
        internal static int Run(IEnumerable<KeyValuePair<string, Action>> tests)
        {
            int passed = 0, failed = 0;
            foreach (KeyValuePair<string, Action> test in tests)
            {
                try
                {
                    test.Value();
                    passed++;
                    Console.WriteLine("ok   " + test.Key);
                }
                catch (Exception e)
                {
                    failed++;
                    Console.WriteLine("FAIL " + test.Key + ": " + (e is Failure ? e.Message : e.ToString()));
                }
            }
            Console.WriteLine("dotnet: " + passed + " passed, " + failed + " failed");
            return failed == 0 ? 0 : 1;
        }
    }
}
