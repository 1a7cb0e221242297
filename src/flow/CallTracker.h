#pragma once
// Placeholder: call tracking arrives with the flow engine issue.
class CallTracker {};
