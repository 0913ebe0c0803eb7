using System;

namespace Brivant
{
    /// <summary>
    /// A result other than Result.Ok, from the library or from the binding's own
    /// checks (which give the code the library gives for the same mistake).
    /// </summary>
    public sealed class BrivantException : Exception
    {
        /// <summary>An exception for <paramref name="result"/>; unit and operation may be left out.</summary>
        public BrivantException(Result result, long? unitId = null, string? operation = null)
            : base(Describe(result, unitId, operation))
        {
            Result = result;
            UnitId = unitId;
            Operation = operation;
            // The code where interop callers look for one too.
            HResult = (short)result;
        }

        /// <summary>The result code.</summary>
        public Result Result { get; private set; }

        /// <summary>Its RC_* name.</summary>
        public string Name { get { return Results.Name(Result); } }

        /// <summary>The unit ID as the caller gave it, when there was one.</summary>
        public long? UnitId { get; private set; }

        /// <summary>What was being done: "open", "stop", "read counts"...</summary>
        public string? Operation { get; private set; }

        // "unit 2: stop: RC_BAD_PARAMETER (8): counter function: ..."
        private static string Describe(Result result, long? unitId, string? operation)
        {
            string where = unitId.HasValue ? "unit " + unitId.Value + ": " : "";
            if (!string.IsNullOrEmpty(operation))
            {
                where += operation + ": ";
            }
            return where + Results.Name(result) + " (" + (short)result + "): " + Results.Meaning(result);
        }

        // Every native result goes through here: Ok passes, anything else throws.
        internal static void ThrowUnlessOk(short code, long unitId, string operation)
        {
            if (code != (short)Result.Ok)
            {
                throw new BrivantException((Result)code, unitId, operation);
            }
        }
    }
}
