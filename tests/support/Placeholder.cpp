// Keeps the scripted-server library non-empty until its servers land.
namespace orvane::testing {
int placeholderSymbol = 0;
}
