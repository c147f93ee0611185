// Look-up results for the console page, run in its main world: each call runs on its own, so that
// an error in one is reported as the page's own and the others still arrive. A document of
// another origin gets none of them. The line with the call is repeated for each result.
if (location.origin === '%ORIGIN%') {
  try { %CALL%; } catch (error) { setTimeout(function () { throw error; }); }
}
