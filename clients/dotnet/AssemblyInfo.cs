// What the assembly says of itself; the version is the product's.
using System.Reflection;

[assembly: AssemblyTitle("KavMorvLed")]
[assembly: AssemblyDescription("Sets the PC's built-in LED through the LED service")]
[assembly: AssemblyCopyright("MIT licence")]
[assembly: AssemblyVersion("1.3.0.0")]
[assembly: AssemblyFileVersion("1.3.0.0")]
