"""Type stub of the corvane extension module.

The names below other than the four functions exist only for type checkers:
import them under ``if typing.TYPE_CHECKING:``.
"""

from collections.abc import Sequence
from typing import Literal, TypedDict

__version__: str

# ---------------------------------------------------------------------------
# Enumerations, as the strings the result carries

RiskLevel = Literal["safe", "caution", "danger", "critical"]
QuickDecision = Literal["safe", "risky", "blocked"]
Intent = Literal[
    "read", "write", "delete", "execute", "network", "process_control", "privilege",
    "package_install", "git_mutation", "env_modify", "search", "info",
]
TargetScope = Literal[
    "none", "single_file", "directory", "directory_recursive", "system", "home", "root",
]
Sensitivity = Literal["normal", "config", "system", "secrets", "protected"]
RiskFactor = Literal[
    "recursive_delete", "force_flag", "broad_scope", "secrets_exposure",
    "network_exfiltration", "pipe_to_execution", "command_substitution",
    "process_substitution", "untrusted_execution", "privilege_escalation",
    "path_injection", "git_history_destruction", "escapes_project_boundary",
    "shell_injection", "zsh_module_loading", "zsh_glob_execution",
    "obfuscated_command", "obfuscated_exfiltration", "command_execution", "write",
]
BinaryCapability = Literal[
    "shell", "command", "reverse_shell", "bind_shell", "file_read", "file_write",
    "upload", "download", "library_load", "privilege_escalation",
]
FlowType = Literal["pipe", "and", "or", "sequence", "mixed"]
Reversibility = Literal["reversible", "hard_to_reverse", "irreversible"]
ParseConfidence = Literal["full", "partial", "fallback"]

# ---------------------------------------------------------------------------
# Records of the result

class Target(TypedDict):
    path: str | None
    scope: TargetScope
    sensitivity: Sensitivity

class FlagAnalysis(TypedDict):
    flag: str
    modifier: int
    risk_factor: RiskFactor
    description: str

class CommandAnalysis(TypedDict):
    command: str
    executable: str | None
    intent: list[Intent]
    targets: list[Target]
    flags: list[FlagAnalysis]
    score: int
    risk_factors: list[RiskFactor]
    reversibility: Reversibility
    capabilities: list[BinaryCapability]

class MitreMapping(TypedDict):
    technique_id: str
    technique_name: str
    tactic: str

# Taint sources and sinks are objects with a "type"; two kinds add a "path".
class SensitiveFileSource(TypedDict):
    type: Literal["sensitive_file"]
    path: str

class PlainTaintSource(TypedDict):
    type: Literal["environment_var", "command_output", "stdin"]

TaintSource = SensitiveFileSource | PlainTaintSource

class EncodingMethod(TypedDict):
    method: str

# A propagator is a bare string, or {"encoding": {"method": "base64"}}.
class EncodingProp(TypedDict):
    encoding: EncodingMethod

TaintProp = Literal["passthrough", "filtering", "aggregation"] | EncodingProp

class FileWriteSink(TypedDict):
    type: Literal["file_write"]
    path: str

class PlainTaintSink(TypedDict):
    type: Literal["network_send", "execution", "display"]

TaintSink = FileWriteSink | PlainTaintSink

class TaintFlow(TypedDict):
    source: TaintSource
    propagators: list[TaintProp]
    sink: TaintSink
    escalation: int
    escalation_reason: str

class PipelineFlow(TypedDict):
    flow_type: FlowType
    taint_flows: list[TaintFlow]
    composite_score: int

class AnalysisResult(TypedDict):
    command: str
    score: int
    level: RiskLevel
    quick_decision: QuickDecision
    reason: str
    risk_factors: list[RiskFactor]
    sub_commands: list[CommandAnalysis]
    pipeline_flow: PipelineFlow | None
    mitre_mappings: list[MitreMapping]
    parse_confidence: ParseConfidence

# ---------------------------------------------------------------------------
# The caller's context. Every key is optional; at run time unknown keys and
# values of another type are ignored (a str as protected_paths too), and any
# shell but "zsh" means bash.

class ClassifyContext(TypedDict, total=False):
    cwd: str
    project_root: str
    home_dir: str
    protected_paths: Sequence[str]
    shell: Literal["bash", "zsh"]

# ---------------------------------------------------------------------------
# Functions

def classify(command: str, context: ClassifyContext | None = None) -> AnalysisResult:
    """Classify a shell command and return a rich analysis dict."""

def risk_score(command: str) -> int:
    """Return just the numeric risk score (0-100) for a command."""

def risk_level(command: str) -> RiskLevel:
    """Return the risk level as a string: "safe", "caution", "danger", or "critical"."""

def classify_batch(
    commands: Sequence[str], context: ClassifyContext | None = None
) -> list[AnalysisResult]:
    """Classify multiple commands in batch (a str is refused: pass a list)."""
