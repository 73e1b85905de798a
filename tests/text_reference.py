"""Plain-Python rendering of the text steps, using `re` and `str` literally.

This is the oracle the native methods are compared with (tests) and timed
against (bench). Each function takes the engine method's arguments plus a
`log` that receives the records the method would write: any object with
`debug/info/warning/error` methods, e.g. a `logging.Logger` or `Records`.
"""

import os
import re

CATEGORIES = (
    "解剖与组织术语",
    "影像与检查术语",
    "实验室检查术语",
    "微生物术语",
    "临床症状与体征术语",
    "疾病名称规范",
    "药物名称术语",
    "医学专业缩写",
    "音译医学术语",
    "通用听写误差",
    "综合医学术语",
    "特殊品牌替换",
)

CUT_MARKERS = ("修正说明：", "修改说明（符合规则要求）：", "主要修改内容：")

ANNOTATION_PATTERNS = (
    r"注释：.*?(?=\n|$)",
    r"说明：.*?(?=\n|$)",
    r"备注：.*?(?=\n|$)",
    r"修改列表：.*?(?=\n|$)",
    r"修改内容：.*?(?=\n|$)",
    r"[\(（]注：.*?[\)）]",
    r"[\(（]注:.*?[\)）]",
    r"[\(（]修改:.*?[\)）]",
    r"[\(（]修改：.*?[\)）]",
    r"[\(（]校正:.*?[\)）]",
    r"[\(（]校正：.*?[\)）]",
    r"[\[【]修正.*?[\]】]",
    r"[\{「]修正.*?[\}」]",
    r"（注：.*?）",
    r"\(注：.*?\)",
    r"（注:.*?）",
    r"\(注:.*?\)",
    r"[\(（]维持原始.*?[\)）]",
    r"[\(（]保持.*?不变[\)）]",
    r"[\(（]严格保留.*?[\)）]",
    r"[\(（]禁止.*?[\)）]",
    r"[\(（]输出保持.*?[\)）]",
    r"[\(（]最终块.*?[\)）]",
    r"[\(（]此处保留.*?[\)）]",
)

STRICT_BLOCK = (
    r"^\d+\s*\n\d{2}:\d{2}:\d{2},\d{3}\s*-->\s*\d{2}:\d{2}:\d{2},\d{3}\s*\n"
    r"[\s\S]*?(?=\n\n\d+|\Z)"
)
LOOSE_BLOCK = r"^\d+\s*\n\d+.*?-->\s*\d+.*?\n[\s\S]*?(?=\n\n\d+|\Z)"
TIME_LINE = r"(\d+:\d+:\d+,\d+)\s*-->\s*(\d+:\d+:\d+,\d+)"
BLOCK_SEPARATOR = r"\n\s*\n"
FENCE_LINE = r"^[ \t]*```[A-Za-z0-9_.+-]*[ \t]*(?:\n|$)"


class Records:
    """Collects (level, message) pairs in the order they are logged."""

    def __init__(self):
        self.records = []

    def _add(self, level, message):
        self.records.append((level, message))

    def debug(self, message):
        self._add("DEBUG", message)

    def info(self, message):
        self._add("INFO", message)

    def warning(self, message):
        self._add("WARNING", message)

    def error(self, message):
        self._add("ERROR", message)


def parse_srt_content(content, log):
    """Steps 2-5 of reading, on text already read from the file."""
    content = content.removeprefix("\ufeff").strip()
    blocks = re.split(BLOCK_SEPARATOR, content)
    subtitles = []
    for block in blocks:
        lines = block.strip().split("\n")
        if len(lines) < 3:
            if block.strip():
                log.warning(f"跳过无法解析的字幕块: {lines[0]}")
            continue
        index = lines[0]
        time_line = lines[1]
        text = "\n".join(lines[2:])
        time_match = re.match(TIME_LINE, time_line)
        if not time_match:
            log.warning(f"跳过无法解析的字幕块: {lines[0]}")
            continue
        start_time, end_time = time_match.groups()
        subtitles.append(
            {"index": index, "start_time": start_time, "end_time": end_time, "text": text}
        )
    log.info(f"成功解析字幕文件，共{len(subtitles)}个字幕块")
    return subtitles


def parse_srt(file_path, log):
    try:
        with open(file_path, "r", encoding="utf-8") as f:
            content = f.read()
        return parse_srt_content(content, log)
    except Exception as e:
        log.error(f"解析字幕文件失败: {e}")
        raise


def write_srt(subtitles, output_path, log):
    """All or nothing: a failure leaves no file behind."""
    try:
        pieces = []

        def add(piece):
            piece.encode("utf-8")  # fails as a text-mode write of this piece would
            pieces.append(piece)

        for subtitle in subtitles:
            add(f"{subtitle['index']}\n")
            add(f"{subtitle['start_time']} --> {subtitle['end_time']}\n")
            add(f"{subtitle['text']}\n\n")
        with open(output_path, "w", encoding="utf-8") as f:
            f.write("".join(pieces).removeprefix("\ufeff"))
        log.info(f"字幕文件保存成功: {output_path}")
        return True
    except Exception as e:
        log.error(f"保存字幕文件失败: {e}")
        return False


def get_output_path(file_path, output_dir, path=os.path):
    """`path` stands for the host's `os.path` (posixpath or ntpath)."""
    file_name = path.basename(file_path)
    name, ext = path.splitext(file_name)
    return path.join(output_dir, f"{name}_corrected{ext}")


def fenced_part(text):
    """From the first to the last fence line, when there are two or more."""
    fences = list(re.finditer(FENCE_LINE, text, flags=re.MULTILINE))
    if len(fences) < 2:
        return text
    last = fences[-1]
    end = last.end() - 1 if last.group().endswith("\n") else last.end()
    return text[fences[0].start():end]


def remove_annotations(text, log):
    text = re.sub(FENCE_LINE, "", fenced_part(text), flags=re.MULTILINE)
    original_text = text
    for marker in CUT_MARKERS:
        if marker in text:
            text = text.split(marker, 1)[0].rstrip()
    for pattern in ANNOTATION_PATTERNS:
        text = re.sub(pattern, "", text, flags=re.MULTILINE)
    text = re.sub(r"\n{3,}", "\n\n", text)
    srt_blocks = re.findall(STRICT_BLOCK, text, re.MULTILINE)
    if srt_blocks:
        clean_text = "\n\n".join(srt_blocks)
        return clean_text.strip()
    srt_blocks_loose = re.findall(LOOSE_BLOCK, text, re.MULTILINE)
    if srt_blocks_loose:
        clean_text = "\n\n".join(srt_blocks_loose)
        return clean_text.strip()
    log.warning("无法从API响应中提取SRT格式字幕块，返回处理后的文本")
    return original_text.strip()


def extract_blocks_from_text(text, log):
    blocks = re.split(BLOCK_SEPARATOR, text.strip())
    subtitles = []
    for block in blocks:
        lines = block.strip().split("\n")
        if len(lines) < 3:
            continue
        try:
            index = lines[0].strip()
            time_line = lines[1]
            times = time_line.split(" --> ")
            if len(times) != 2:
                log.warning(f"无效的时间戳格式: {time_line}")
                continue
            start_time = times[0].strip()
            end_time = times[1].strip()
            text_content = "\n".join(lines[2:])
            subtitles.append(
                {
                    "index": index,
                    "start_time": start_time,
                    "end_time": end_time,
                    "text": text_content,
                }
            )
        except Exception as e:
            log.warning(f"解析字幕块时发生异常: {e}, 块内容: {block}")
    return subtitles


def apply_term_corrections(text, error_terms, log):
    corrected_text = text
    replacements_made = 0
    replacement_details = []
    for category in CATEGORIES:
        if category in error_terms:
            for entry in error_terms[category]:
                if "→" not in entry and "->" not in entry:
                    continue
                entry = entry.replace("->", "→")
                parts = entry.split("→")
                if len(parts) != 2:
                    continue
                error_term = parts[0].strip()
                correct_term = parts[1].strip()
                if not error_term:
                    # An empty wrong term would insert the correct term
                    # between every two characters.
                    continue
                if error_term in corrected_text:
                    before = corrected_text
                    corrected_text = corrected_text.replace(error_term, correct_term)
                    if corrected_text != before:
                        replacements_made += 1
                        replacement_details.append(f"{error_term} → {correct_term}")
    if replacements_made > 0:
        log.info(f"术语库精确替换完成，共替换了{replacements_made}个术语")
        log.debug(f"替换详情: {', '.join(replacement_details)}")
    else:
        log.info("术语库精确替换完成，未发现需要替换的术语")
    return corrected_text, replacement_details
