// The class `Brivane`: an ordinary Python class (`type(...)` with `object`
// as its only base) whose methods are the engine's native functions, bound
// as instance methods (method.h), each with its documentation and
// parameters.
#include "host/bindings.h"
#include "host/method.h"

namespace brivane::bind {

py::object define_engine_class(py::module_ &m) {
  using brivane::method::define;
  using brivane::method::keyword;
  using brivane::method::optional;
  using brivane::method::required;
  py::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = "Brivane";
  ns["__doc__"] = "医学字幕校对器类";
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type));
  py::object cls = type("Brivane", py::tuple(), ns);

  define<&init>(cls, "__init__",
                "初始化字幕校对器\n\n"
                "Args:\n"
                "    api_key: DeepSeek API密钥\n"
                "    input_dir: 输入字幕文件目录\n"
                "    output_dir: 输出字幕文件目录\n"
                "    config_file: 配置文件路径，为None时使用内置配置\n",
                {required("api_key"), required("input_dir"), required("output_dir"),
                 optional("config_file", py::none()), keyword("config", py::none()),
                 keyword("settings", py::none()), keyword("glossary_files", py::none())});
  define<&load_config_from_package>(cls, "load_config_from_package", "加载内置的配置文件");
  define<&load_config>(cls, "load_config",
                       "加载配置文件\n\n"
                       "Args:\n"
                       "    config_file: 配置文件路径\n",
                       {required("config_file")});
  define<&load_error_terms>(cls, "load_error_terms", "加载错误术语库");
  define<&create_directories>(cls, "create_directories", "创建必要的目录");
  define<&generate_prompt>(cls, "generate_prompt", "生成字幕校对提示词");
  define<&backup_files>(cls, "backup_files", "备份文件");
  define<&parse_srt>(cls, "parse_srt",
                     "解析SRT格式字幕文件\n\n"
                     "Args:\n"
                     "    file_path: SRT文件路径\n\n"
                     "Returns:\n"
                     "    字幕对象列表，每个对象包含index、start_time、end_time和text\n",
                     {required("file_path")});
  define<&write_srt>(cls, "write_srt",
                     "将字幕对象列表写入SRT文件\n\n"
                     "Args:\n"
                     "    subtitles: 字幕对象列表\n"
                     "    output_path: 输出文件路径\n\n"
                     "Returns:\n"
                     "    写入成功返回True，否则返回False\n",
                     {required("subtitles"), required("output_path")});
  define<&call_deepseek_api_with_subtitle_prompt>(
      cls, "call_deepseek_api_with_subtitle_prompt",
      "调用DeepSeek API进行字幕校正\n\n"
      "Args:\n"
      "    subtitle_text: 需要校正的字幕文本（SRT格式）\n"
      "    max_retries: 最大尝试次数\n"
      "    retry_delay: 重试间隔（秒）\n"
      "    timeout: 请求超时时间（秒）\n\n"
      "Returns:\n"
      "    校正后的字幕文本\n",
      {required("subtitle_text"), optional("max_retries", py::int_(5)),
       optional("retry_delay", py::int_(5)), optional("timeout", py::int_(180))});
  define<&remove_annotations>(cls, "remove_annotations",
                              "移除文本中可能的注释\n\n"
                              "Args:\n"
                              "    text: API返回的文本\n\n"
                              "Returns:\n"
                              "    清理后的文本\n",
                              {required("text")});
  define<&extract_blocks_from_text>(cls, "extract_blocks_from_text",
                                    "从文本中提取字幕块\n\n"
                                    "Args:\n"
                                    "    text: 包含SRT字幕块的文本\n\n"
                                    "Returns:\n"
                                    "    字幕对象列表\n",
                                    {required("text")});
  define<&get_output_path>(cls, "get_output_path",
                           "获取输出文件路径\n\n"
                           "Args:\n"
                           "    file_path: 输入文件路径\n\n"
                           "Returns:\n"
                           "    输出文件路径\n",
                           {required("file_path")});
  define<&process_subtitle_file>(
      cls, "process_subtitle_file",
      "处理字幕文件\n\n"
      "Args:\n"
      "    file_path: 字幕文件路径\n"
      "    custom_window_size: 自定义窗口大小，为None时使用配置中的window_size\n"
      "    start_window: 起始窗口编号（从1开始），为None时从第一个窗口开始\n"
      "    end_window: 结束窗口编号（包含），为None时处理到最后一个窗口\n\n"
      "Returns:\n"
      "    处理成功返回True，否则返回False\n",
      {required("file_path"), optional("custom_window_size", py::none()),
       optional("start_window", py::none()), optional("end_window", py::none())});
  define<&apply_term_corrections>(cls, "apply_term_corrections",
                                  "对AI校正后的文本应用错误术语库精确替换", {required("text")});
  define<&process_all_files>(cls, "process_all_files", "处理所有字幕文件",
                             {keyword("progress", py::none())});
  return cls;
}

}  // namespace brivane::bind
