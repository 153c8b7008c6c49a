export const MAIN = "session_main";
export const CU_CHIP = "Using Computer Use mode — I can see and control your screen"; // the gateway's banner text
